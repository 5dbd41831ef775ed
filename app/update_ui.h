// What the update controller needs from the user interface: the modal prompts, the file chooser, the
// message box for file errors, the busy cursor, beeps, repaints, window placement and the progress
// notice. The Qt user interface (ui/) implements it; tests implement it with a script of answers.
//
// Every call is made on the user-interface thread from inside RunUpdate, which blocks that thread
// between calls (camera exchanges, pauses). Anything a call shows must therefore be on screen when the
// call returns: repaint synchronously, never rely on a later event loop pass. (During the pauses the Qt
// user interface's idle hook only repaints exposed areas and answers the window system; see DelayMs.)
#pragma once

#include <cstdint>
#include <string>

#include "app/host_cause.h"

// The fixed message dialogs, by template number.
enum class MessageDialog : int {
    FileCheck = 103,   // wrong file (string 20) or version matches the camera's (string 4)
    Success = 104,     // string 21 formatted with the file's version characters 1..3
    FileCancel = 105,  // the file dialog was cancelled (string 15)
    UpdateFailed = 1538,
    NotFound = 1539,
};

// Why the file-check dialog (FileCheck) is shown.
enum class FileCheckCase {
    WrongFile,       // the file is not a firmware image for this camera (string 20)
    VersionMatches,  // the image's version is the camera's own (string 4)
};

// The download phase a progress notice reports.
enum class DownloadPhase { Erase, Download };

// The dialog template of a message dialog: its number is the template's.
constexpr int TemplateOf(MessageDialog dialog) {
    return static_cast<int>(dialog);
}

// Dialog results: 1 for the default button (OK, Continue, Exit, the single Quit), 2 for Quit and Esc.
constexpr int DIALOG_OK = 1;
constexpr int DIALOG_CANCEL = 2;

// Results of the file chooser.
enum class FileDialogResult { Chosen, Cancelled, Failed };

// Beeps: Simple is the plain system beep (before a file error box), Ok the default "OK" sound (before
// the success message).
enum class BeepKind { Simple, Ok };

// A rectangle in pixels: left and top inclusive, right and bottom exclusive.
struct WindowRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

// A top-level window that the controller places (every dialog, the file chooser, the progress notice).
// The UI wraps its window in one of these and passes it to CUpdateController::PlaceDialog or
// PlaceNotice once the window's controls exist.
class IPlacedWindow {
  public:
    virtual ~IPlacedWindow() = default;
    // The window's outer rectangle, frame included; only its size is used.
    virtual WindowRect GetOuterRect() = 0;
    // Moves the window's top-left corner to (x, y) in screen coordinates, size unchanged, and paints it
    // at once.
    virtual void MoveTo(int32_t x, int32_t y) = 0;
};

// The info bar across the top of the main window that paints the controller's status line
// (CUpdateController::StatusText()). The shell hands one to SetInfoBar.
class IInfoBar {
  public:
    virtual ~IInfoBar() = default;
    // Erases the bar and paints the current status text now.
    virtual void RepaintNow() = 0;
};

class IUpdateUi {
  public:
    virtual ~IUpdateUi() = default;

    // The main view's client rectangle: every dialog is centred on it, the notice sits at its bottom
    // right. Read once when RunUpdate starts.
    virtual WindowRect GetViewRect() = 0;

    // The port dialog: AUTO checked at every start. On OK it stores the chosen port (0 AUTO, 1..9 COMn,
    // 10 USB), calls the controller's SetStatus(1) and returns 1; Quit and Esc return 2 and change
    // nothing.
    virtual int ShowPortDialog(int16_t& port) = 0;
    // A message dialog showing text, the already formatted text of control 100. Returns 1 or 2 as above.
    virtual int ShowMessageDialog(MessageDialog dialog, const std::string& text) = 0;
    // The FileCheck dialog for the case it reports, with that case's text (string 20 or 4). A user
    // interface that answers by itself tells the cases apart here, never by the text. By default shown
    // as any message dialog.
    virtual int ShowFileCheckDialog(FileCheckCase check, const std::string& text) {
        (void)check;
        return ShowMessageDialog(MessageDialog::FileCheck, text);
    }
    // The outcome dialogs NotFound and UpdateFailed, with what the host knows of the failure's cause.
    // The text stays the dialog's own; a user interface that can say more adds the cause under it. By
    // default the cause is not shown.
    virtual int ShowOutcomeDialog(MessageDialog dialog, const std::string& text, const HostCause& cause) {
        (void)cause;
        return ShowMessageDialog(dialog, text);
    }
    // The file-open dialog (files must exist, read-only box hidden) with the filter text (each '|' a
    // separator) and the initial file name; on Chosen, path holds the full path of the chosen file.
    virtual FileDialogResult ChooseFile(const std::string& filter, const std::string& initialName,
                                        std::string& path) = 0;
    // The modal message box used for file errors: caption string 3, information icon, owned by the main
    // window. The controller sounds Beep(Simple) just before; this call does not beep.
    virtual void ShowFileError(const std::string& text) = 0;
    virtual void Beep(BeepKind kind) = 0;
    // Busy cursor on (true) and off (false); calls nest and the controller keeps them balanced.
    virtual void SetBusyCursor(bool busy) = 0;
    // Repaints the main view now (before every prompt and before the download).
    virtual void RepaintView() = 0;

    // The progress notice (template 108), at most one at a time. The controller opens it on a phase's
    // first event, paints it on every event and closes it at the phase's end; after a completed or
    // failed event it holds the final picture for 1000 ms itself (a DelayMs wait, so that it runs in
    // virtual time in tests) before calling CloseNotice. Implementations never wait.
    //
    // Creates the notice window of a phase, places it with the controller's PlaceNotice and shows it.
    // False when no notice could be made (the download then goes on without one).
    virtual bool OpenNotice(DownloadPhase phase) = 0;
    // Sets the label to text when text is not null and paints frame, bar and percentage for value (the
    // download's percentage as a signed 16-bit number, not clamped). True when the picture was painted;
    // false when painting failed (no drawing resources), in which case no 1000 ms hold follows.
    virtual bool PaintNotice(uint32_t eventKind, int32_t value, const char* text) = 0;
    // Destroys the notice window.
    virtual void CloseNotice() = 0;
};

// The busy cursor for a scope: on at construction, off at the end unless already hidden. Hide and Show
// let a prompt in the middle of the scope run under the normal cursor.
class ScopedBusyCursor {
  public:
    explicit ScopedBusyCursor(IUpdateUi& ui) : m_ui(ui) { Show(); }
    ~ScopedBusyCursor() { Hide(); }
    ScopedBusyCursor(const ScopedBusyCursor&) = delete;
    ScopedBusyCursor& operator=(const ScopedBusyCursor&) = delete;
    void Show() {
        if (!m_shown) {
            m_ui.SetBusyCursor(true);
            m_shown = true;
        }
    }
    void Hide() {
        if (m_shown) {
            m_ui.SetBusyCursor(false);
            m_shown = false;
        }
    }

  private:
    IUpdateUi& m_ui;
    bool m_shown = false;
};
