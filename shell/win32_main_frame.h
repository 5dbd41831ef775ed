// The Windows application window: a main frame with a caption but no system menu (so no minimise,
// maximise or close box) that covers the desktop's work area, the info bar across its top painting the
// status line, and the view that shows the centred background picture and starts the update 200 ms
// after its first paint. The frame owns the update controller and the Win32 user interface; when the
// update returns, the frame is destroyed and the message loop ends.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

class CUpdateController;
namespace platform {
class IDevices;
}
namespace ui_win32 {
class CWin32UpdateUi;
}

class CWin32MainFrame {
  public:
    static constexpr UINT START_DELAY_MS = 200;

    explicit CWin32MainFrame(platform::IDevices& devices);
    ~CWin32MainFrame();
    CWin32MainFrame(const CWin32MainFrame&) = delete;
    CWin32MainFrame& operator=(const CWin32MainFrame&) = delete;

    // Creates the windows over the work area and shows them. False when a window could not be made.
    bool Create(int showCommand);
    // The close command (Ctrl+Q, the end of the update): destroys the frame, or, while the update
    // runs, as soon as it returns.
    void CloseApp();
    // Replaces what the start timer runs (tests); by default it runs the controller's update.
    void SetStartAction(std::function<void()> action) { m_startAction = std::move(action); }

    HWND Frame() const { return m_frame; }
    HWND View() const { return m_view; }
    HWND InfoBar() const { return m_infoBar; }
    CUpdateController* Controller() const { return m_controller.get(); }
    // Where the picture's top-left corner goes in a view of the given size (negative when the view is
    // smaller than the picture).
    static POINT PicturePosition(int viewWidth, int viewHeight);

  private:
    class CInfoBarPainter;
    static LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK InfoBarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK ViewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Layout();
    void PaintInfoBar(HDC dc) const;
    void PaintView(HDC dc);
    bool AnswerSetCursor() const;
    void RunUpdateOnce();

    HWND m_frame = nullptr;
    HWND m_infoBar = nullptr;
    HWND m_view = nullptr;
    HFONT m_barFont = nullptr;
    int m_barHeight = 22;
    HBITMAP m_picture = nullptr;
    std::unique_ptr<CUpdateController> m_controller;
    std::unique_ptr<ui_win32::CWin32UpdateUi> m_ui;
    std::unique_ptr<CInfoBarPainter> m_infoBarPainter;
    std::function<void()> m_startAction;
    bool m_startPending = false;
    bool m_running = false;
};
