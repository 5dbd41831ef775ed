// The command line's system calls on Windows: the console's control events, the trace file.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "cli/cli_system.h"

namespace cli {

namespace {

void (*g_handler)(int) = nullptr;

// Runs on a thread the console starts for the event. Returning TRUE says the event was handled, so the
// process goes on (the first Ctrl+C before the download only asks for a clean end); the handler itself
// ends the process when it must.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (g_handler == nullptr) {
        return FALSE;
    }
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            g_handler(INTERRUPT_SIGNAL);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            g_handler(TERMINATE_SIGNAL);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void InstallInterruptHandler(void (*handler)(int)) {
    g_handler = handler;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

long WriteSome(int fd, const void* data, size_t count) {
    const unsigned limit = 0x40000000u;
    return _write(fd, data, count > limit ? limit : static_cast<unsigned>(count));
}

int CreateTraceFile(const std::string& path) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, nullptr, 0);
    if (path.empty() || length <= 0) {
        errno = ENOENT;
        return -1;
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(), length);
    return _wopen(wide.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
}

// The driver publishes each device object as a DOS device name ("QX410U-001"); QueryDosDevice finds the
// name without opening the device.
bool UsbDeviceMayExist(const std::string& path) {
    const std::string prefix = "\\\\.\\";
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const std::string name = path.substr(prefix.size());
    const std::wstring wideName(name.begin(), name.end());
    wchar_t target[512];
    return QueryDosDeviceW(wideName.c_str(), target, sizeof target / sizeof target[0]) != 0;
}

}  // namespace cli
