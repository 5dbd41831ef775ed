// The update controller's user interface on a command line: the port prompt answered from --port, the
// file chooser from the image argument, the same-version prompt from --force, every other prompt
// answered "Quit"; the status line, the progress and the outcome printed as text (a progress bar on a
// terminal, plain lines otherwise) or as JSON lines.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "app/update_controller.h"
#include "app/update_ui.h"
#include "cli/cli_devices.h"
#include "cli/exit_status.h"

namespace cli {

// What the interrupt handler needs to know about the run; written by the user interface.
struct InterruptState {
    volatile std::sig_atomic_t signal = 0;          // the first SIGINT/SIGTERM seen, 0 for none
    volatile std::sig_atomic_t flashMayChange = 0;  // a firmware file was accepted: a download may run
    volatile std::sig_atomic_t barShown = 0;        // a progress bar line is open on the terminal
    volatile std::sig_atomic_t json = 0;            // the outcome goes out as a JSON line
    volatile std::sig_atomic_t searching = 0;       // the camera search runs: an interrupt cuts its waits
};
InterruptState& Interrupts();

struct OutputStyle {
    bool json = false;
    bool terminal = false;  // standard output is a terminal: redraw one progress bar line
    int columns = 0;        // the terminal's width; 0 when it does not tell
};

// The progress line on a terminal of `columns` columns (0: not known), never reaching the last column so
// that the terminal never wraps it: the text, a bar and as much of the tails (fullest first) as fits.
std::string FitProgressLine(const std::string& text, int percent, const std::vector<std::string>& tails,
                            int columns);
// The percentage a count shows: done of total, rounded down, so that it agrees with the count.
int PercentOf(int done, int total);

class CliUpdateUi final : public IUpdateUi, public IInfoBar {
  public:
    // devices: where busy ports are recorded, for the not-found message.
    CliUpdateUi(CUpdateController& controller, const CliDevices& devices, OutputStyle style, int16_t port,
                std::string imagePath, bool force);

    // The exit status the run ended with (valid after RunUpdate).
    int ExitStatus() const { return m_exitStatus; }

    // IInfoBar: the status line, printed when it changes.
    void RepaintNow() override;

    // IUpdateUi
    WindowRect GetViewRect() override { return WindowRect{0, 0, 640, 480}; }
    int ShowPortDialog(int16_t& port) override;
    int ShowMessageDialog(MessageDialog dialog, const std::string& text) override;
    // Continue (with --force) on the same-version prompt; any other file check ends the run refused.
    int ShowFileCheckDialog(FileCheckCase check, const std::string& text) override;
    int ShowOutcomeDialog(MessageDialog dialog, const std::string& text, const HostCause& cause) override;
    FileDialogResult ChooseFile(const std::string& filter, const std::string& initialName,
                                std::string& path) override;
    void ShowFileError(const std::string& text) override;
    void Beep(BeepKind) override {}
    // Off right after the search: the search's interrupt handling ends there.
    void SetBusyCursor(bool busy) override;
    void RepaintView() override {}
    bool OpenNotice(DownloadPhase phase) override;
    bool PaintNotice(uint32_t eventKind, int32_t value, const char* text) override;
    void CloseNotice() override;

  private:
    void Finish(int status, const char* outcome, const std::string& message);
    void PrintProgress(uint32_t eventKind, const char* text);
    void AnnounceFinish();
    std::string DescribeCamera() const;
    std::string DescribeFailedStep(const HostCause& cause) const;

    CUpdateController& m_controller;
    const CliDevices& m_devices;
    OutputStyle m_style;
    int16_t m_port;
    std::string m_imagePath;
    bool m_force;
    bool m_finished = false;
    int m_exitStatus = EXIT_UPDATE_FAILED;
    std::string m_lastStatus;
    // The running phase of the download.
    bool m_erasePhase = false;
    int m_done = 0;
    int m_total = 0;
    int m_lastPrintedStep = -1;
    uint64_t m_phaseStartMs = 0;
    bool m_finishAnnounced = false;
};

// "1.2.3" style shown versions: the three characters after the first, as the updater shows them
// ("%c.%c%c").
std::string ShownVersion(const char version[4]);
// The camera's name without the blanks it pads it with to 32 characters.
std::string TrimmedName(const std::string& name);
// Prints text (a JSON line or a line of text) to standard output, or to standard error, at once.
void PrintOut(const std::string& text);
void PrintErr(const std::string& text);
// The last output of a run: one "outcome" JSON line, or the message (on standard error unless status
// is EXIT_OK).
void PrintOutcome(bool json, int status, const char* outcome, const std::string& message);
// A search that found no camera, reported with its cause: the command line's own sentence
// and status for a cause on this machine (6 held by another program, 7 permission denied, 3 otherwise),
// the camera's own text (message) when the camera is what is missing. The exit status.
int ReportSearchFailure(bool json, const CliDevices& devices, const HostCause& cause,
                        const std::string& message);
// "held-by-another-program", "permission-denied", ...: the cause as the JSON field names it.
const char* CauseName(LinkCause cause);
// "COM3" or "\\.\QX410U-001": the link a session settled on.
std::string DescribeLink(const CCameraSession& session);

}  // namespace cli
