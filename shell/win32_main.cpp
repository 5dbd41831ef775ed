// The Windows updater program: builds the main frame over the machine's devices, shows it, and ends
// when the frame is destroyed after the update. Ctrl+Q closes it before the update starts.
#include <windows.h>

#include "platform/devices.h"
#include "shell/win32_main_frame.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int showCommand) {
    CWin32MainFrame frame(platform::SystemDevices());
    if (!frame.Create(showCommand)) {
        return 1;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_KEYDOWN && message.wParam == 'Q' && GetKeyState(VK_CONTROL) < 0) {
            frame.CloseApp();
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
