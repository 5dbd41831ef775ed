// Serial ports on the Windows communications API (the implementation of platform::ISerialPort).
#pragma once

#include <memory>

#include "platform/devices.h"

namespace platform {

// Opens a port ("\\.\COM1") exclusively for reading and writing. nullptr on failure, with the reason as
// an errno value in errorNumber (win32_error.h).
std::unique_ptr<ISerialPort> OpenWin32SerialPort(const char* path, int& errorNumber);

}  // namespace platform
