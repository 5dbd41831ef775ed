// Keeps the test run's Wine session's desktop process: started detached (no CTest pipe) when the
// session starts, it holds a hidden window and waits until the session ends.
//
// Wine starts its desktop process (explorer.exe /desktop) for the first program that needs one, and
// that process inherits the program's standard output and error; it lives until the last program of
// the session has ended. A test whose program started it therefore kept CTest waiting on its output
// until every other test running beside it had ended (measured: win32_dialogs_test, 2 s alone, took
// 40 s beside the serial tests). Started here first, the desktop process holds no test's output.
#include <windows.h>

int main() {
    GetDesktopWindow();  // the desktop process starts now, for this program
    const HWND window = CreateWindowExW(0, L"STATIC", L"qx410 session keeper", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window == nullptr) {
        return 1;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}
