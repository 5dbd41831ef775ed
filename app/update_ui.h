// What the update controller needs from the user interface: the modal prompts, the file chooser, the
// message box for file errors, the busy cursor, beeps, repaints and the progress notice. The Qt user
// interface (ui/) implements it; tests implement it with a script of answers.
#pragma once

#include <cstdint>
#include <string>

// The fixed message dialogs, by template number.
enum class MessageDialog : int {
    FileCheck = 103,   // selector 0: wrong file; selector 1: version matches the camera's
    Success = 104,     // formatted with the file's version characters 1..3
    FileCancel = 105,  // the file dialog was cancelled
    UpdateFailed = 1538,
    NotFound = 1539,
};

// Dialog results: 1 for the default button (OK, Continue, Exit, the single Quit), 2 for Quit and Esc.
constexpr int DIALOG_OK = 1;
constexpr int DIALOG_CANCEL = 2;

// Results of the file chooser.
enum class FileDialogResult { Chosen, Cancelled, Failed };

// Beeps.
enum class BeepKind { Simple, Ok };

class IUpdateUi {
  public:
    virtual ~IUpdateUi() = default;

    // The port dialog: AUTO checked at every start. On OK it stores the chosen port (0 AUTO, 1..9 COMn,
    // 10 USB), calls the controller's SetStatus(1) and returns 1; Quit and Esc return 2.
    virtual int ShowPortDialog(int16_t& port) = 0;
    // A message dialog; selector is used by FileCheck only; text is the already formatted text.
    virtual int ShowMessageDialog(MessageDialog dialog, const std::string& text) = 0;
    // The file-open dialog with the filter text and the initial file name; on Chosen the full path.
    virtual FileDialogResult ChooseFile(const std::string& filter, const std::string& initialName,
                                        std::string& path) = 0;
    // The message box used for file errors (caption: the application title, information icon).
    virtual void ShowFileError(const std::string& text) = 0;
    virtual void Beep(BeepKind kind) = 0;
    // Busy cursor on (true) and off (false); calls nest.
    virtual void SetBusyCursor(bool busy) = 0;
    // Repaints the main view now (before every prompt), and the info bar after a status change.
    virtual void RepaintView() = 0;
    virtual void RepaintStatusLine() = 0;

    // The progress notice: opened on a phase's first event, painted on every event, closed at its end.
    // OpenNotice returns false when no notice could be made (the download then goes on without one).
    virtual bool OpenNotice() = 0;
    // Sets the label (when text is not null) and paints frame, bar and percentage for value.
    virtual void PaintNotice(uint32_t eventKind, int32_t value, const char* text) = 0;
    virtual void CloseNotice() = 0;
};
