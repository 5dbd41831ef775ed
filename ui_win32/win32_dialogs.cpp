// The Win32 template dialogs.
#include "ui_win32/win32_dialogs.h"

#include "app/update_controller.h"
#include "platform/win32_path.h"
#include "res/dialog_templates.h"
#include "ui_win32/win32_dialog_template.h"

namespace ui_win32 {

WindowRect CPlacedHwnd::GetOuterRect() {
    RECT rect{};
    GetWindowRect(m_window, &rect);
    return WindowRect{rect.left, rect.top, rect.right, rect.bottom};
}

void CPlacedHwnd::MoveTo(int32_t x, int32_t y) {
    SetWindowPos(m_window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (IsWindowVisible(m_window)) {
        UpdateWindow(m_window);
    }
}

CWin32TemplateDialog::CWin32TemplateDialog(int templateId, CUpdateController* controller)
    : m_templateId(templateId), m_controller(controller) {}

int CWin32TemplateDialog::DoModal(HWND owner) {
    const res::DialogTemplate* dialog = res::FindDialogTemplate(m_templateId);
    if (dialog == nullptr) {
        return -1;
    }
    const std::vector<DWORD> memory = BuildDialogTemplate(*dialog, CauseLine());
    const INT_PTR result =
        DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(memory.data()),
                                owner, DialogProc, reinterpret_cast<LPARAM>(this));
    m_window = nullptr;
    return static_cast<int>(result);
}

INT_PTR CALLBACK CWin32TemplateDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CWin32TemplateDialog*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->m_window = window;
        self->OnInitDialog();
        return TRUE;  // the first tab stop takes the focus: the default button in every template
    }
    auto* self = reinterpret_cast<CWin32TemplateDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) {
        return FALSE;
    }
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                self->OnCommand(LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            // A close request answers the prompt as Esc does.
            EndDialog(window, res::IDC_CANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

void CWin32TemplateDialog::OnInitDialog() {
    if (m_controller == nullptr) {
        return;
    }
    CPlacedHwnd placed(m_window);
    m_controller->PlaceDialog(&placed);
}

void CWin32TemplateDialog::OnCommand(int controlId) {
    if (controlId == res::IDC_OK || controlId == res::IDC_CANCEL) {
        EndDialog(m_window, controlId);
    }
}

CWin32PortDialog::CWin32PortDialog(CUpdateController* controller)
    : CWin32TemplateDialog(res::IDD_PORT, controller) {}

void CWin32PortDialog::OnInitDialog() {
    CheckRadioButton(Window(), res::IDC_PORT_AUTO, res::IDC_PORT_USB, res::IDC_PORT_AUTO);
    CWin32TemplateDialog::OnInitDialog();
}

void CWin32PortDialog::OnCommand(int controlId) {
    if (controlId >= res::IDC_PORT_AUTO && controlId <= res::IDC_PORT_USB) {
        CheckRadioButton(Window(), res::IDC_PORT_AUTO, res::IDC_PORT_USB, controlId);
        return;
    }
    if (controlId != res::IDC_OK) {
        CWin32TemplateDialog::OnCommand(controlId);
        return;
    }
    // With nothing checked the port keeps its value.
    for (int id = res::IDC_PORT_AUTO; id <= res::IDC_PORT_USB; ++id) {
        if (IsDlgButtonChecked(Window(), id) == BST_CHECKED) {
            m_port = static_cast<int16_t>(id - res::IDC_PORT_AUTO);
            break;
        }
    }
    if (Controller() != nullptr) {
        Controller()->SetStatus(STATUS_LINE_SEARCHING);
    }
    EndDialog(Window(), res::IDC_OK);
}

CWin32MessageDialog::CWin32MessageDialog(int templateId, CUpdateController* controller, std::string text,
                                         std::string causeLine)
    : CWin32TemplateDialog(templateId, controller),
      m_text(std::move(text)),
      m_causeLine(std::move(causeLine)) {}

void CWin32MessageDialog::OnInitDialog() {
    // The static control breaks lines at each "\n", as the texts carry them.
    const std::wstring text = WideFromLatin1(m_text);
    SetDlgItemTextW(Window(), res::IDC_TEXT, text.c_str());
    CWin32TemplateDialog::OnInitDialog();
}

std::wstring CWin32MessageDialog::CauseLine() const {
    return platform::WideFromUtf8(m_causeLine);
}

}  // namespace ui_win32
