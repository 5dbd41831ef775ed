// Serial ports on POSIX termios, poll and ioctl (the implementation of platform::ISerialPort).
#pragma once

#include <memory>

#include "platform/devices.h"

namespace platform {

// Opens a tty file exclusively (TIOCEXCL and an advisory lock), non-blocking, without becoming its
// controlling terminal. nullptr on failure, with errno in errorNumber.
std::unique_ptr<ISerialPort> OpenPosixSerialPort(const char* path, int& errorNumber);

}  // namespace platform
