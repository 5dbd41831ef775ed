// The template dialogs on Win32: a modal dialog run from its in-memory template, the port dialog and
// the message dialogs, with the results of the Qt ones: the button with identifier 1 ends with 1,
// identifier 2, Esc and a close request with 2. Each is placed by the controller once its controls
// exist (WM_INITDIALOG).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "app/update_ui.h"

class CUpdateController;

namespace ui_win32 {

// A top-level window as the controller's placement sees it: its window rectangle, moved by its
// top-left corner and painted at once.
class CPlacedHwnd final : public IPlacedWindow {
  public:
    explicit CPlacedHwnd(HWND window) : m_window(window) {}
    WindowRect GetOuterRect() override;
    void MoveTo(int32_t x, int32_t y) override;

  private:
    HWND m_window;
};

class CWin32TemplateDialog {
  public:
    // controller may be null (nothing places the dialog then).
    CWin32TemplateDialog(int templateId, CUpdateController* controller);
    virtual ~CWin32TemplateDialog() = default;
    CWin32TemplateDialog(const CWin32TemplateDialog&) = delete;
    CWin32TemplateDialog& operator=(const CWin32TemplateDialog&) = delete;

    // Runs the dialog modally over owner (may be null). Returns 1 or 2; -1 when no dialog could be made.
    int DoModal(HWND owner);
    // The dialog's window while it runs.
    HWND Window() const { return m_window; }

  protected:
    // Fills in texts and checks; the base asks the controller to place the dialog.
    virtual void OnInitDialog();
    // A control sent WM_COMMAND; the base ends the dialog with identifiers 1 and 2.
    virtual void OnCommand(int controlId);
    // An extra line under the text (message dialogs); empty for none.
    virtual std::wstring CauseLine() const { return {}; }
    CUpdateController* Controller() const { return m_controller; }

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    int m_templateId;
    CUpdateController* m_controller;
    HWND m_window = nullptr;
};

// Template 107: AUTO checked at every start; OK stores the checked port (0 AUTO, 1..9 COMn, 10 USB)
// and switches the status line to the search.
class CWin32PortDialog final : public CWin32TemplateDialog {
  public:
    explicit CWin32PortDialog(CUpdateController* controller);
    int16_t Port() const { return m_port; }

  protected:
    void OnInitDialog() override;
    void OnCommand(int controlId) override;

  private:
    int16_t m_port = 0;
};

// A message dialog (103, 104, 105, 1538, 1539): text (bytes shown one character each) in control 100,
// and for an outcome the host's cause (UTF-8) on a line under it.
class CWin32MessageDialog final : public CWin32TemplateDialog {
  public:
    CWin32MessageDialog(int templateId, CUpdateController* controller, std::string text,
                        std::string causeLine = {});

  protected:
    void OnInitDialog() override;
    std::wstring CauseLine() const override;

  private:
    std::string m_text;
    std::string m_causeLine;
};

}  // namespace ui_win32
