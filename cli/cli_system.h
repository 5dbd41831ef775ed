// What the command line needs from the operating system beyond the platform layer: the interrupt
// (Ctrl+C) handling, the trace file and whether a USB device object may be there. One file per system
// (posix_cli_system.cpp, win32_cli_system.cpp).
#pragma once

#include <cstddef>
#include <string>

namespace cli {

// Signal numbers the handler is called with, as the exit statuses count them (128 + number).
constexpr int INTERRUPT_SIGNAL = 2;   // Ctrl+C
constexpr int TERMINATE_SIGNAL = 15;  // a request to end: SIGTERM; on Windows the console's close,
                                      // logoff and shutdown events

// Calls handler(INTERRUPT_SIGNAL or TERMINATE_SIGNAL) when the user or the system asks the program to
// stop; a broken output pipe is not one. On POSIX the handler runs as a signal handler, on Windows on a
// thread of the console's: either way it may only note the request, write() and _exit().
void InstallInterruptHandler(void (*handler)(int));
// One write() of up to count bytes (the system's count type differs: size_t on POSIX, unsigned on
// Windows); the count written or -1. Safe in the interrupt handler.
long WriteSome(int fd, const void* data, size_t count);
// Creates or truncates the trace file (UTF-8 path, not inherited by other programs): a descriptor for
// write(), or -1 with errno set.
int CreateTraceFile(const std::string& path);
// True when the resolved device path of a USB camera may stand for one (the driver socket exists on
// Linux; a Windows device object is only known by opening it).
bool UsbDeviceMayExist(const std::string& path);

}  // namespace cli
