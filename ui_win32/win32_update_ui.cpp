// The Win32 implementation of the controller's user interface.
#include "ui_win32/win32_update_ui.h"

#include <commdlg.h>

#include "app/update_controller.h"
#include "common/clock.h"
#include "platform/win32_path.h"
#include "res/dialog_templates.h"
#include "res/strings.h"
#include "ui_win32/win32_dialog_template.h"
#include "ui_win32/win32_dialogs.h"
#include "ui_win32/win32_notice.h"

namespace ui_win32 {
namespace {

// The file dialog is centred on the main view as every dialog is, once its window exists.
UINT_PTR CALLBACK FileDialogHook(HWND hook, UINT message, WPARAM /*wParam*/, LPARAM lParam) {
    if (message == WM_NOTIFY && reinterpret_cast<const NMHDR*>(lParam)->code == CDN_INITDONE) {
        const auto* notify = reinterpret_cast<const OFNOTIFYW*>(lParam);
        auto* controller = reinterpret_cast<CUpdateController*>(notify->lpOFN->lCustData);
        if (controller != nullptr) {
            CPlacedHwnd placed(GetParent(hook));
            controller->PlaceDialog(&placed);
        }
    }
    return 0;
}

}  // namespace

void PumpSystemMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0,
                        PM_REMOVE | PM_QS_PAINT | PM_QS_SENDMESSAGE | PM_QS_POSTMESSAGE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));  // for the main loop, after the update
            return;
        }
        DispatchMessageW(&message);
    }
}

// A prompt waits for the user's answer, so it shows the arrow even while the busy cursor is set.
class CWin32UpdateUi::CPrompt {
  public:
    explicit CPrompt(CWin32UpdateUi& ui) : m_ui(ui) {
        ++m_ui.m_promptDepth;
        m_ui.UpdateCursor();
    }
    ~CPrompt() {
        --m_ui.m_promptDepth;
        m_ui.UpdateCursor();
    }
    CPrompt(const CPrompt&) = delete;
    CPrompt& operator=(const CPrompt&) = delete;

  private:
    CWin32UpdateUi& m_ui;
};

CWin32UpdateUi::CWin32UpdateUi(CUpdateController& controller, HWND view, HWND owner)
    : m_controller(controller), m_view(view), m_owner(owner), m_strip(std::make_unique<CDigitStrip>()) {
    // While the update waits the program still answers the window system; keys and clicks stay queued,
    // and the workflow is never entered from here: its only start is the view's one-shot timer, spent
    // before the update begins.
    InstallIdleHook([] { PumpSystemMessages(); });
}

CWin32UpdateUi::~CWin32UpdateUi() {
    InstallIdleHook({});
    m_notice.reset();
}

WindowRect CWin32UpdateUi::GetViewRect() {
    RECT client{};
    if (m_view == nullptr || !GetClientRect(m_view, &client)) {
        return WindowRect{};
    }
    return WindowRect{0, 0, client.right, client.bottom};
}

int CWin32UpdateUi::ShowPortDialog(int16_t& port) {
    const CPrompt prompt(*this);
    CWin32PortDialog dialog(&m_controller);
    const int result = dialog.DoModal(m_owner);
    if (result == res::IDC_OK) {
        port = dialog.Port();
    }
    return result;
}

int CWin32UpdateUi::ShowMessageDialog(MessageDialog dialog, const std::string& text) {
    const CPrompt prompt(*this);
    CWin32MessageDialog message(TemplateOf(dialog), &m_controller, text);
    return message.DoModal(m_owner);
}

int CWin32UpdateUi::ShowOutcomeDialog(MessageDialog dialog, const std::string& text, const HostCause& cause) {
    const CPrompt prompt(*this);
    CWin32MessageDialog message(TemplateOf(dialog), &m_controller, text, OutcomeCauseLine(cause));
    return message.DoModal(m_owner);
}

std::wstring ConvertFileFilter(const std::string& filter) {
    std::wstring converted = WideFromLatin1(filter);
    for (wchar_t& c : converted) {
        if (c == L'|') {
            c = L'\0';
        }
    }
    converted.push_back(L'\0');
    converted.push_back(L'\0');
    return converted;
}

FileDialogResult CWin32UpdateUi::ChooseFile(const std::string& filter, const std::string& initialName,
                                            std::string& path) {
    const CPrompt prompt(*this);
    const std::wstring filters = ConvertFileFilter(filter);
    // Longer than the controller's path buffer, so that a path too long for it reaches the controller's
    // own message instead of failing here.
    std::wstring file(4 * MAX_PATH, L'\0');
    const std::wstring initial = platform::WideFromUtf8(initialName);
    initial.copy(file.data(), file.size() - 1);

    OPENFILENAMEW open{};
    open.lStructSize = sizeof open;
    open.hwndOwner = m_owner;
    open.lpstrFilter = filters.c_str();
    open.nFilterIndex = 1;
    open.lpstrFile = file.data();
    open.nMaxFile = static_cast<DWORD>(file.size());
    open.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER | OFN_ENABLEHOOK |
                 OFN_ENABLESIZING;
    open.lpfnHook = FileDialogHook;
    open.lCustData = reinterpret_cast<LPARAM>(&m_controller);
    if (!GetOpenFileNameW(&open)) {
        return CommDlgExtendedError() == 0 ? FileDialogResult::Cancelled : FileDialogResult::Failed;
    }
    path = platform::Utf8FromWide(std::wstring(file.c_str()));
    // A chosen file always has a path; an empty one means the dialog or the conversion did not work.
    return path.empty() ? FileDialogResult::Failed : FileDialogResult::Chosen;
}

void CWin32UpdateUi::ShowFileError(const std::string& text) {
    const CPrompt prompt(*this);
    MessageBoxW(m_owner, WideFromLatin1(text).c_str(), WideFromLatin1(res::APP_TITLE).c_str(),
                MB_OK | MB_ICONINFORMATION);
}

void CWin32UpdateUi::Beep(BeepKind kind) {
    switch (kind) {
        case BeepKind::Simple:
            MessageBeep(0xFFFFFFFF);
            return;
        case BeepKind::Ok:
            MessageBeep(MB_OK);
            return;
    }
}

void CWin32UpdateUi::SetBusyCursor(bool busy) {
    if (busy) {
        ++m_busyDepth;
    } else if (m_busyDepth > 0) {
        --m_busyDepth;
    }
    UpdateCursor();
}

void CWin32UpdateUi::UpdateCursor() const {
    SetCursor(LoadCursorW(nullptr, ShowsBusyCursor() ? IDC_WAIT : IDC_ARROW));
}

void CWin32UpdateUi::RepaintView() {
    if (m_view != nullptr) {
        RedrawWindow(m_view, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    }
}

bool CWin32UpdateUi::OpenNotice(DownloadPhase /*phase*/) {
    CloseNotice();
    m_notice = std::make_unique<CWin32Notice>(m_owner, m_useStrip ? m_strip->Dc() : nullptr);
    if (m_notice->Window() == nullptr) {
        m_notice.reset();
        return false;
    }
    m_notice->Open(&m_controller);
    return true;
}

bool CWin32UpdateUi::PaintNotice(uint32_t /*eventKind*/, int32_t value, const char* text) {
    if (m_notice == nullptr) {
        return false;
    }
    return m_notice->ShowProgress(value, text);
}

void CWin32UpdateUi::CloseNotice() {
    m_notice.reset();
}

}  // namespace ui_win32
