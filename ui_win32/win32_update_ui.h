// The Win32 user interface of the update controller: the template dialogs, the file-open dialog, the
// file-error message box, message beeps, the wait cursor, repaints of the main view and the progress
// notice painted with GDI. All calls run on the window thread from inside the workflow and leave what
// they show painted when they return.
#pragma once

#include <windows.h>

#include <memory>

#include "app/update_ui.h"

class CUpdateController;

namespace ui_win32 {

class CDigitStrip;
class CWin32Notice;

// Handles what the window system sends while the update waits (repaints, sent messages, posted
// messages and timers) and leaves user input (keys, mouse) queued for the next prompt.
void PumpSystemMessages();

class CWin32UpdateUi final : public IUpdateUi {
  public:
    // view: the main view (its client rectangle places the dialogs; repainted before prompts); owner:
    // the main window that owns the dialogs. Either may be null in tests. Installs the idle hook that
    // keeps the windows alive during waits.
    CWin32UpdateUi(CUpdateController& controller, HWND view, HWND owner);
    ~CWin32UpdateUi() override;
    CWin32UpdateUi(const CWin32UpdateUi&) = delete;
    CWin32UpdateUi& operator=(const CWin32UpdateUi&) = delete;

    WindowRect GetViewRect() override;
    int ShowPortDialog(int16_t& port) override;
    int ShowMessageDialog(MessageDialog dialog, const std::string& text) override;
    int ShowOutcomeDialog(MessageDialog dialog, const std::string& text, const HostCause& cause) override;
    FileDialogResult ChooseFile(const std::string& filter, const std::string& initialName,
                                std::string& path) override;
    void ShowFileError(const std::string& text) override;
    void Beep(BeepKind kind) override;
    void SetBusyCursor(bool busy) override;
    void RepaintView() override;
    bool OpenNotice(DownloadPhase phase) override;
    bool PaintNotice(uint32_t eventKind, int32_t value, const char* text) override;
    void CloseNotice() override;

    // True while the wait cursor shows: busy and not at a prompt. The shell's windows answer
    // WM_SETCURSOR with it.
    bool ShowsBusyCursor() const { return m_busyDepth > 0 && m_promptDepth == 0; }
    // The open notice, or nullptr.
    CWin32Notice* Notice() const { return m_notice.get(); }
    // Draws no percentage from now on (a missing digit strip).
    void DropDigitStrip() { m_useStrip = false; }

  private:
    class CPrompt;
    void UpdateCursor() const;

    CUpdateController& m_controller;
    HWND m_view;
    HWND m_owner;
    std::unique_ptr<CDigitStrip> m_strip;
    bool m_useStrip = true;
    std::unique_ptr<CWin32Notice> m_notice;
    int m_busyDepth = 0;
    int m_promptDepth = 0;
};

// The filter text of the file dialog ("Name|pattern|...|", each '|' a separator) as
// OPENFILENAME's lpstrFilter: the separators as NULs, ended by two.
std::wstring ConvertFileFilter(const std::string& filter);

}  // namespace ui_win32
