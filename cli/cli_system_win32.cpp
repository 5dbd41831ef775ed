// The command line's system calls on Windows: the console's screen buffer for the width,
// SetConsoleCtrlHandler for Ctrl+C and the console's close, logoff and shutdown events, the C runtime's
// descriptors for raw writes, CreateFileW (paths UTF-8 inside) for the files.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "cli/cli_system.h"
#include "platform/win32_error.h"
#include "platform/win32_path.h"

namespace cli {

namespace {

void (*g_interruptHandler)(int) = nullptr;
int g_lastColumns = -1;

// Runs on a thread the console starts for the event. TRUE says the event was handled, so the process
// goes on (the first Ctrl+C before the download only asks for a clean end); the handler ends the process
// when it must. Close, logoff and shutdown count as SIGTERM.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (g_interruptHandler == nullptr) {
        return FALSE;
    }
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            g_interruptHandler(SIGINT);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            g_interruptHandler(SIGTERM);
            return TRUE;
        default:
            return FALSE;
    }
}

// The file behind a path, without following it into a device: its volume and index, the identity
// stat's device and inode give on POSIX.
bool FileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    return GetFileInformationByHandle(file, &info) != 0;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

HANDLE OpenForReading(const std::string& path) {
    const std::wstring wide = platform::WideFromUtf8(path);
    if (wide.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // FILE_FLAG_BACKUP_SEMANTICS lets a folder open, so that it is reported as one.
    return CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool IsTerminal(int fd) {
    return _isatty(fd) != 0;
}

int TerminalColumns(int fd) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

// A console sends no signal when its window is resized: the width is compared at each look instead.
void WatchTerminalWidth() {
    g_lastColumns = TerminalColumns(StandardOutput());
}

bool TakeWidthChange() {
    if (g_lastColumns < 0) {
        return false;
    }
    const int columns = TerminalColumns(StandardOutput());
    if (columns == g_lastColumns) {
        return false;
    }
    g_lastColumns = columns;
    return true;
}

void InstallInterruptHandlers(void (*handler)(int)) {
    g_interruptHandler = handler;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool WriteRaw(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const size_t rest = size - done;
        const int count =
            _write(fd, data + done, rest > 0x40000000u ? 0x40000000u : static_cast<unsigned>(rest));
        if (count <= 0) {
            return false;
        }
        done += static_cast<size_t>(count);
    }
    return true;
}

void ExitNow(int status) {
    _exit(status);
}

int StandardOutput() {
    return 1;
}

int StandardError() {
    return 2;
}

FileFacts InspectFile(const std::string& path) {
    FileFacts facts;
    HANDLE file = OpenForReading(path);
    if (file == INVALID_HANDLE_VALUE) {
        facts.error = platform::ErrnoFromWin32(GetLastError());
        return facts;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const DWORD type = GetFileType(file);
    if (type == FILE_TYPE_PIPE) {
        facts.kind = FileKind::Pipe;
    } else if (type == FILE_TYPE_DISK && FileIdentity(file, info)) {
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            facts.kind = FileKind::Directory;
        } else {
            facts.kind = FileKind::Regular;
            facts.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        }
    } else if (type == FILE_TYPE_DISK) {
        facts.error = platform::ErrnoFromWin32(GetLastError());
    }
    CloseHandle(file);
    return facts;
}

int CreateTraceFile(const std::string& path, bool overwrite, const std::string& keep, std::string& error) {
    BY_HANDLE_FILE_INFORMATION kept{};
    bool keepExists = false;
    if (!keep.empty()) {
        HANDLE keepFile = OpenForReading(keep);
        if (keepFile != INVALID_HANDLE_VALUE) {
            keepExists = FileIdentity(keepFile, kept);
            CloseHandle(keepFile);
        }
    }
    const std::wstring wide = platform::WideFromUtf8(path);
    if (wide.empty()) {
        error = std::strerror(ENOENT);
        return -1;
    }
    // Opened without truncating, so that the firmware image is untouched when the name reaches it.
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              overwrite ? OPEN_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS
                    ? "it exists (add --overwrite-trace to replace it)"
                    : std::strerror(platform::ErrnoFromWin32(code));
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION opened{};
    if (keepExists && FileIdentity(file, opened) && SameFile(opened, kept)) {
        error = "it is the firmware image " + keep;
        CloseHandle(file);
        return -1;
    }
    if (GetFileType(file) == FILE_TYPE_DISK && !SetEndOfFile(file)) {
        error = std::strerror(platform::ErrnoFromWin32(GetLastError()));
        CloseHandle(file);
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        error = std::strerror(EMFILE);
        CloseHandle(file);
        return -1;
    }
    return fd;
}

std::string SystemErrorText(int errorNumber) {
    return std::strerror(errorNumber);
}

std::string UtcTimestamp() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);
    return text;
}

bool UsbDeviceMayExist(const std::string& path) {
    const std::string prefix = "\\\\.\\";
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    // The driver publishes each device object as a DOS device name ("QX410U-001"), found without opening it.
    const std::wstring name = platform::WideFromUtf8(path.substr(prefix.size()));
    wchar_t target[512];
    return QueryDosDeviceW(name.c_str(), target, sizeof target / sizeof target[0]) != 0;
}

}  // namespace cli
