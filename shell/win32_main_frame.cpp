// The Windows main frame, its info bar and view.
#include "shell/win32_main_frame.h"

#include "app/update_controller.h"
#include "res/bitmaps.h"
#include "res/dialog_templates.h"
#include "res/strings.h"
#include "ui_win32/win32_background.h"
#include "ui_win32/win32_dialog_template.h"
#include "ui_win32/win32_update_ui.h"

namespace {

const wchar_t FRAME_CLASS[] = L"Qx410fwFrame";
const wchar_t INFO_BAR_CLASS[] = L"Qx410fwInfoBar";
const wchar_t VIEW_CLASS[] = L"Qx410fwView";
constexpr UINT_PTR START_TIMER_ID = 1;

CWin32MainFrame* FrameOf(HWND window) {
    return reinterpret_cast<CWin32MainFrame*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// Stores the frame object given at creation in the window, for every window class of the frame.
void AttachOnCreate(HWND window, UINT message, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
}

bool RegisterClasses(WNDPROC frame, WNDPROC infoBar, WNDPROC view) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    const struct {
        const wchar_t* name;
        WNDPROC proc;
        HBRUSH background;
    } classes[] = {
        {FRAME_CLASS, frame, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1)},
        {INFO_BAR_CLASS, infoBar, CreateSolidBrush(RGB(192, 192, 192))},
        {VIEW_CLASS, view, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))},
    };
    for (const auto& entry : classes) {
        WNDCLASSEXW existing{};
        existing.cbSize = sizeof existing;
        if (GetClassInfoExW(instance, entry.name, &existing)) {
            continue;  // a second frame in the same process (tests)
        }
        windowClass.lpszClassName = entry.name;
        windowClass.lpfnWndProc = entry.proc;
        windowClass.hbrBackground = entry.background;
        if (RegisterClassExW(&windowClass) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

// The info bar as the controller repaints it.
class CWin32MainFrame::CInfoBarPainter final : public IInfoBar {
  public:
    explicit CInfoBarPainter(HWND bar) : m_bar(bar) {}
    void RepaintNow() override {
        RedrawWindow(m_bar, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }

  private:
    HWND m_bar;
};

CWin32MainFrame::CWin32MainFrame(platform::IDevices& devices)
    : m_controller(std::make_unique<CUpdateController>(devices)) {
    // Template 101 is 14 dialog units high in its font; the bar keeps a one-pixel border at its bottom.
    if (const res::DialogTemplate* bar = res::FindDialogTemplate(res::IDD_INFOBAR)) {
        m_barFont = ui_win32::CreateTemplateFont(*bar);
        const SIZE units = ui_win32::DialogBaseUnits(m_barFont);
        m_barHeight = bar->rect.cy * units.cy / 8 + 1;
    }
    m_picture = ui_win32::CreateBackgroundPicture();
}

CWin32MainFrame::~CWin32MainFrame() {
    // The notice and the dialogs go before the controller they report to.
    m_ui.reset();
    m_controller->SetInfoBar(nullptr);
    if (m_frame != nullptr) {
        DestroyWindow(m_frame);
    }
    if (m_barFont != nullptr) {
        DeleteObject(m_barFont);
    }
    if (m_picture != nullptr) {
        DeleteObject(m_picture);
    }
}

bool CWin32MainFrame::Create(int showCommand) {
    if (!RegisterClasses(FrameProc, InfoBarProc, ViewProc)) {
        return false;
    }
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    RECT work{0, 0, 640, 400};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const std::wstring title = ui_win32::WideFromLatin1(res::APP_TITLE);
    // The frame, caption included, fills the work area.
    m_frame = CreateWindowExW(0, FRAME_CLASS, title.c_str(), WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN,
                              work.left, work.top, work.right - work.left, work.bottom - work.top, nullptr,
                              nullptr, instance, this);
    if (m_frame == nullptr) {
        return false;
    }
    m_infoBar = CreateWindowExW(0, INFO_BAR_CLASS, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, m_frame, nullptr,
                                instance, this);
    m_view = CreateWindowExW(0, VIEW_CLASS, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, m_frame, nullptr,
                             instance, this);
    if (m_infoBar == nullptr || m_view == nullptr) {
        return false;
    }
    Layout();
    m_infoBarPainter = std::make_unique<CInfoBarPainter>(m_infoBar);
    m_ui = std::make_unique<ui_win32::CWin32UpdateUi>(*m_controller, m_view, m_frame);
    m_controller->SetInfoBar(m_infoBarPainter.get());
    m_controller->SetStatus(STATUS_LINE_PORT_PROMPT);
    m_startPending = true;  // the view's first paint arms the start timer
    ShowWindow(m_frame, showCommand);
    UpdateWindow(m_frame);
    return true;
}

POINT CWin32MainFrame::PicturePosition(int viewWidth, int viewHeight) {
    // Integer halves truncate toward zero; a view smaller than the picture gives negative offsets.
    return POINT{viewWidth / 2 - res::BACKGROUND_WIDTH / 2, viewHeight / 2 - res::BACKGROUND_HEIGHT / 2};
}

void CWin32MainFrame::Layout() {
    RECT client{};
    GetClientRect(m_frame, &client);
    MoveWindow(m_infoBar, 0, 0, client.right, m_barHeight, TRUE);
    MoveWindow(m_view, 0, m_barHeight, client.right, client.bottom - m_barHeight, TRUE);
}

void CWin32MainFrame::PaintInfoBar(HDC dc) const {
    RECT client{};
    GetClientRect(m_infoBar, &client);
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(128, 128, 128));
    HGDIOBJ oldPen = SelectObject(dc, pen);
    MoveToEx(dc, 0, client.bottom - 1, nullptr);
    LineTo(dc, client.right, client.bottom - 1);
    SelectObject(dc, oldPen);
    DeleteObject(pen);
    const std::string& text = m_controller->StatusText();
    if (text.empty()) {
        return;
    }
    // The text's cell starts 5 pixels down, 2 in.
    HGDIOBJ oldFont = SelectObject(dc, m_barFont);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    const std::wstring wide = ui_win32::WideFromLatin1(text);
    TextOutW(dc, 2, 5, wide.c_str(), static_cast<int>(wide.size()));
    SelectObject(dc, oldFont);
}

void CWin32MainFrame::PaintView(HDC dc) {
    if (m_picture != nullptr) {
        RECT client{};
        GetClientRect(m_view, &client);
        const POINT at = PicturePosition(client.right, client.bottom);
        HDC source = CreateCompatibleDC(dc);
        HGDIOBJ old = SelectObject(source, m_picture);
        BitBlt(dc, at.x, at.y, res::BACKGROUND_WIDTH, res::BACKGROUND_HEIGHT, source, 0, 0, SRCCOPY);
        SelectObject(source, old);
        DeleteDC(source);
    }
    if (m_startPending) {
        m_startPending = false;
        SetTimer(m_view, START_TIMER_ID, START_DELAY_MS, nullptr);
    }
}

bool CWin32MainFrame::AnswerSetCursor() const {
    if (m_ui == nullptr || !m_ui->ShowsBusyCursor()) {
        return false;
    }
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    return true;
}

void CWin32MainFrame::RunUpdateOnce() {
    m_running = true;
    if (m_startAction) {
        m_startAction();
    } else {
        m_controller->RunUpdate(*m_ui);
    }
    m_running = false;
    CloseApp();
}

void CWin32MainFrame::CloseApp() {
    if (m_running) {
        return;  // RunUpdateOnce closes the frame when the update returns
    }
    if (m_frame != nullptr) {
        DestroyWindow(m_frame);
    }
}

LRESULT CALLBACK CWin32MainFrame::FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    AttachOnCreate(window, message, lParam);
    CWin32MainFrame* self = FrameOf(window);
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    switch (message) {
        case WM_SIZE:
            if (self->m_infoBar != nullptr && self->m_view != nullptr) {
                self->Layout();
            }
            return 0;
        case WM_CLOSE:
            // Closing while the update runs would pull the controller from under it.
            self->CloseApp();
            return 0;
        case WM_SETCURSOR:
            if (self->AnswerSetCursor()) {
                return TRUE;
            }
            break;
        case WM_DESTROY:
            self->m_frame = nullptr;
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK CWin32MainFrame::InfoBarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    AttachOnCreate(window, message, lParam);
    CWin32MainFrame* self = FrameOf(window);
    if (self != nullptr && message == WM_PAINT) {
        PAINTSTRUCT paint{};
        HDC dc = BeginPaint(window, &paint);
        self->PaintInfoBar(dc);
        EndPaint(window, &paint);
        return 0;
    }
    if (self != nullptr && message == WM_SETCURSOR && self->AnswerSetCursor()) {
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK CWin32MainFrame::ViewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    AttachOnCreate(window, message, lParam);
    CWin32MainFrame* self = FrameOf(window);
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint{};
            HDC dc = BeginPaint(window, &paint);
            self->PaintView(dc);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_TIMER:
            if (wParam == START_TIMER_ID) {
                KillTimer(window, START_TIMER_ID);
                self->RunUpdateOnce();
                return 0;
            }
            break;
        case WM_SETCURSOR:
            if (self->AnswerSetCursor()) {
                return TRUE;
            }
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
