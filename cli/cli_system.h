// The few operating-system calls of the command line, behind one small interface so that the system's
// terminal, signal and file calls stay in one file per system (cli_system_posix.cpp, cli_system_win32.cpp):
// the terminal's width and its changes, the interrupt signals, raw writes a signal handler may make, the
// image file's facts and the trace file's creation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cli {

// True when fd is a terminal.
bool IsTerminal(int fd);
// Columns of the terminal on fd; 0 when fd is no terminal or the terminal does not tell its size.
int TerminalColumns(int fd);
// From now on a change of the terminal's size is noted (SIGWINCH); TakeWidthChange is true once after
// each change.
void WatchTerminalWidth();
bool TakeWidthChange();

// Ctrl+C and SIGTERM go to handler, which must be async-signal-safe; a broken pipe is ignored.
void InstallInterruptHandlers(void (*handler)(int signalNumber));
// Writes all of data to fd; safe in a signal handler. False when the fd refused it.
bool WriteRaw(int fd, const char* data, size_t size);
// Ends the process at once with status, from a signal handler too.
[[noreturn]] void ExitNow(int status);
// The standard output and error descriptors.
int StandardOutput();
int StandardError();

// What a file is, as far as opening it for reading (without blocking on a pipe) tells.
enum class FileKind { Regular, Directory, Pipe, Other };
struct FileFacts {
    int error = 0;  // errno of the open or status call; 0 when both worked
    FileKind kind = FileKind::Other;
    uint64_t size = 0;
};
FileFacts InspectFile(const std::string& path);

// Creates the trace file and returns its descriptor, or -1 with the reason in error. An existing file
// is refused unless overwrite is set; the file that `keep` names (the firmware image) is never opened
// for writing, whatever name reaches it (same device and inode).
int CreateTraceFile(const std::string& path, bool overwrite, const std::string& keep, std::string& error);

// The system's words for an errno value.
std::string SystemErrorText(int errorNumber);
// True when the resolved path of a USB camera's device object may stand for one: the driver socket
// exists (POSIX), the device object's name is known to the system (Windows).
bool UsbDeviceMayExist(const std::string& path);

// The current date and time in UTC, "2026-12-07T22:54:34Z".
std::string UtcTimestamp();

}  // namespace cli
