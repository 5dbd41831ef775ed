// The command line's answers to the update controller's prompts, and its progress and outcome output.
#include "cli/cli_ui.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cli/cli_system.h"
#include "cli/json_line.h"
#include "common/clock.h"

namespace cli {

namespace {

constexpr int PLAIN_STEP_PERCENT = 10;
// The bar's width on a terminal: what the line leaves, within these bounds; an unknown width is taken
// as the usual 80 columns.
constexpr int MIN_BAR_WIDTH = 10;
constexpr int MAX_BAR_WIDTH = 40;
constexpr int DEFAULT_COLUMNS = 80;
// Room for the estimate, "  about 10:00 left", on every picture of the bar.
constexpr size_t LEFT_WIDTH = 18;
// The steps after the last block (the checksum, on a serial link the speed switch, the reset) take
// about ten seconds without a progress event.
constexpr char FINISH_TEXT[] = "Sending the checksum, then resetting the camera ...";
// An interrupt that came while a prompt was due: the prompt is quit, which ends the camera session.
constexpr char SESSION_ENDED_TEXT[] =
    "Interrupted. The camera session was ended; the camera's firmware was not changed.";

// The program's message without the leading line break its dialog layout needs.
std::string Trimmed(const std::string& text) {
    size_t start = 0;
    while (start < text.size() && text[start] == '\n') {
        ++start;
    }
    size_t end = text.size();
    while (end > start && (text[end - 1] == ' ' || text[end - 1] == '\n')) {
        --end;
    }
    return text.substr(start, end - start);
}

std::string FormatDuration(uint64_t ms) {
    const uint64_t seconds = (ms + 500) / 1000;
    char text[24];
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
    return text;
}

const char* EventName(uint32_t eventKind) {
    switch (eventKind) {
        case STATUS_START:
            return "start";
        case STATUS_PROGRESS:
            return "progress";
        case STATUS_COMPLETED:
            return "completed";
        case STATUS_FAILED:
            return "failed";
        default:
            return "other";
    }
}

}  // namespace

std::string FitProgressLine(const std::string& text, int percent, const std::vector<std::string>& tails,
                            int columns) {
    const int width = (columns > 0 ? columns : DEFAULT_COLUMNS) - 1;
    const int clamped = std::clamp(percent, 0, 100);
    for (const std::string& tail : tails) {
        const int room = width - static_cast<int>(text.size() + 3 + tail.size());  // " [" and "]"
        if (room < MIN_BAR_WIDTH) {
            continue;
        }
        const int barWidth = std::min(room, MAX_BAR_WIDTH);
        const int filled = clamped * barWidth / 100;
        return text + " [" + std::string(static_cast<size_t>(filled), '#') +
               std::string(static_cast<size_t>(barWidth - filled), '-') + "]" + tail;
    }
    // No room for a bar: the text and the shortest tail, cut to the width.
    const std::string line = text + (tails.empty() ? std::string() : tails.back());
    return line.substr(0, static_cast<size_t>(std::max(width, 0)));
}

int PercentOf(int done, int total) {
    if (total <= 0 || done <= 0) {
        return 0;
    }
    return done >= total ? 100 : static_cast<int>(static_cast<int64_t>(done) * 100 / total);
}

std::string TrimmedName(const std::string& name) {
    const size_t end = name.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : name.substr(0, end + 1);
}

InterruptState& Interrupts() {
    static InterruptState state;
    return state;
}

void PrintOut(const std::string& text) {
    WriteRaw(StandardOutput(), text.data(), text.size());
}

void PrintErr(const std::string& text) {
    WriteRaw(StandardError(), text.data(), text.size());
}

std::string ShownVersion(const char version[4]) {
    return std::string{version[1], '.', version[2], version[3]};
}

std::string DescribeLink(const CCameraSession& session) {
    if (session.m_portKind == PORT_KIND_USB) {
        return session.m_devicePath;
    }
    return "COM" + std::to_string(session.m_portNumber);
}

CliUpdateUi::CliUpdateUi(CUpdateController& controller, const CliDevices& devices, OutputStyle style,
                         int16_t port, std::string imagePath, bool force)
    : m_controller(controller),
      m_devices(devices),
      m_style(style),
      m_port(port),
      m_imagePath(std::move(imagePath)),
      m_force(force) {}

void PrintOutcome(bool json, int status, const char* outcome, const std::string& message) {
    if (json) {
        PrintOut(JsonLine("outcome")
                     .Add("outcome", outcome)
                     .Add("status", status)
                     .Add("message", Trimmed(message))
                     .Text());
        return;
    }
    const std::string text = Trimmed(message) + "\n";
    if (status == EXIT_OK) {
        PrintOut(text);
    } else {
        PrintErr(text);
    }
}

const char* CauseName(LinkCause cause) {
    switch (cause) {
        case LinkCause::None:
            return "";
        case LinkCause::NoSuchDevice:
            return "no-such-device";
        case LinkCause::PermissionDenied:
            return "permission-denied";
        case LinkCause::HeldByAnotherProgram:
            return "held-by-another-program";
        case LinkCause::DeviceIoError:
            return "io-error";
        case LinkCause::Unplugged:
            return "unplugged";
        case LinkCause::CameraSilent:
            return "camera-silent";
        case LinkCause::AdapterLatency:
            return "adapter-latency";
        case LinkCause::BreakNotSent:
            return "break-not-sent";
        case LinkCause::FlowControlHeld:
            return "flow-control-held";
    }
    return "";
}

namespace {

// The outcome with the cause's facts as fields (JSON), or the message (text, on standard error).
void PrintCauseOutcome(bool json, int status, const char* outcome, const std::string& message,
                       const HostCause& cause, const char* step, int block, int total) {
    if (!json) {
        PrintOutcome(false, status, outcome, message);
        return;
    }
    JsonLine line("outcome");
    line.Add("outcome", outcome).Add("status", status).Add("message", Trimmed(message));
    line.Add("cause", CauseName(cause.cause)).Add("port", cause.port).Add("device", cause.device);
    line.Add("errno", cause.systemError).Add("step", step);
    if (block > 0) {
        line.Add("block", block).Add("blocks", total);
    }
    if (!cause.holders.empty()) {
        line.Add("held_by", cause.holders);
    }
    PrintOut(line.Text());
}

}  // namespace

int ReportSearchFailure(bool json, const CliDevices& devices, const HostCause& cause,
                        const std::string& message) {
    if (!cause.OnHost()) {
        // The camera is what is missing: its own advice holds. Ports found busy on the way are named.
        std::string text = message;
        const std::string sentence = HostCauseSentence(cause);
        if (!sentence.empty()) {
            text += "\n" + sentence + ".";
        }
        if (devices.SawBusy()) {
            text += "\nIn use: " + devices.DescribeBusy() + ".";
        }
        PrintCauseOutcome(json, EXIT_NOT_FOUND, "not-found", text, cause, "search", 0, 0);
        return EXIT_NOT_FOUND;
    }
    int status = EXIT_NOT_FOUND;
    const char* outcome = "device-error";
    if (cause.cause == LinkCause::HeldByAnotherProgram) {
        status = EXIT_PORT_BUSY;
        outcome = "port-busy";
    } else if (cause.cause == LinkCause::PermissionDenied) {
        status = EXIT_PERMISSION_DENIED;
        outcome = "permission-denied";
    } else if (cause.cause == LinkCause::NoSuchDevice) {
        outcome = "not-found";
    }
    std::string text = "qx410fw-cli: " + HostCauseSentence(cause) + ".";
    const std::string facts = HostCauseFacts(cause);
    if (!facts.empty()) {
        text += "\n  " + facts;
    }
    PrintCauseOutcome(json, status, outcome, text, cause, "search", 0, 0);
    return status;
}

void CliUpdateUi::Finish(int status, const char* outcome, const std::string& message) {
    if (m_finished) {
        return;
    }
    m_finished = true;
    m_exitStatus = status;
    PrintOutcome(m_style.json, status, outcome, message);
}

int CliUpdateUi::ShowOutcomeDialog(MessageDialog dialog, const std::string& text, const HostCause& cause) {
    if (dialog == MessageDialog::NotFound) {
        const int interrupted = Interrupts().signal;
        if (interrupted != 0) {
            Finish(EXIT_INTERRUPTED_BASE + interrupted, "interrupted",
                   "Interrupted. The search was ended; the camera's firmware was not changed.");
            return DIALOG_OK;
        }
        m_finished = true;
        m_exitStatus = ReportSearchFailure(m_style.json, m_devices, cause, text);
        return DIALOG_OK;
    }
    if (dialog != MessageDialog::UpdateFailed || m_finished) {
        return ShowMessageDialog(dialog, text);
    }
    m_finished = true;
    m_exitStatus = EXIT_UPDATE_FAILED;
    const std::string step = DescribeFailedStep(cause);
    PrintCauseOutcome(m_style.json, EXIT_UPDATE_FAILED, "update-failed", Trimmed(text) + "\n" + step, cause,
                      m_erasePhase ? "erase" : "write", m_done, m_total);
    return DIALOG_OK;
}

// "Failed at block 5 of 4096: no acknowledgement after 3 attempts. Last system error on COM3
// (/dev/ttyUSB0): Input/output error."
std::string CliUpdateUi::DescribeFailedStep(const HostCause& cause) const {
    const CCameraSession& session = m_controller.Session();
    std::string what;
    switch (session.m_detailStatus) {
        case DETAIL_SERIAL_READ:
        case DETAIL_USB_READ:
            what = "no acknowledgement after " + std::to_string(session.m_commandAttempts) + " attempts";
            break;
        case DETAIL_SERIAL_WRITE:
        case DETAIL_USB_WRITE:
            what = "it could not be sent";
            break;
        case DETAIL_CAMERA_BUSY:
            what = "the camera stayed busy too long";
            break;
        case DETAIL_CAMERA_NOT_READY:
            what = "the camera was not ready";
            break;
        case DETAIL_USB_OPEN:
            what = "the camera's USB device could not be opened again";
            break;
        default:
            what = "the camera refused it";
            break;
    }
    std::string text = m_done > 0
                           ? std::string("Failed at ") + (m_erasePhase ? "erase step " : "block ") +
                                 std::to_string(m_done) + " of " + std::to_string(m_total) + ": " + what + "."
                           : "Failed before the first block: " + what + ".";
    if (cause.OnHost()) {
        text += " " + HostCauseSentence(cause) + ".";
    } else if (cause.systemError != 0) {
        text += " Last system error on " + cause.port +
                (cause.device.empty() ? "" : " (" + cause.device + ")") + ": " +
                std::strerror(cause.systemError) + ".";
    }
    return text;
}

void CliUpdateUi::RepaintNow() {
    const std::string& status = m_controller.StatusText();
    if (status == m_lastStatus) {
        return;
    }
    m_lastStatus = status;
    if (!status.empty()) {
        if (m_style.json) {
            PrintOut(JsonLine("status").Add("text", status).Text());
        } else {
            PrintOut(status + "\n");
        }
    }
    // The search is over once the line shows the camera (or goes blank for one that did not identify
    // itself).
    const bool identified = m_controller.CameraKnown();
    if (!identified && (!status.empty() || !m_controller.CameraNotIdentified())) {
        return;
    }
    const std::string link = DescribeLink(m_controller.Session());
    if (!m_style.json) {
        if (!identified) {
            PrintOut("Camera found on " + link + "; it did not identify itself.\n");
        }
        return;
    }
    JsonLine line("camera");
    line.AddBool("identified", identified);
    if (identified) {
        line.Add("name", TrimmedName(m_controller.CameraId()))
            .Add("version", ShownVersion(m_controller.CameraVersion()));
    }
    PrintOut(line.Add("link", link).Text());
}

int CliUpdateUi::ShowPortDialog(int16_t& port) {
    if (Interrupts().signal != 0) {
        return DIALOG_CANCEL;
    }
    Interrupts().searching = 1;
    port = m_port;
    m_controller.SetStatus(STATUS_LINE_SEARCHING);
    return DIALOG_OK;
}

void CliUpdateUi::SetBusyCursor(bool busy) {
    if (!busy && Interrupts().searching != 0) {
        Interrupts().searching = 0;
        RestoreWaits();  // ending the camera session after an interrupt needs its pauses again
    }
}

int CliUpdateUi::ShowMessageDialog(MessageDialog dialog, const std::string& text) {
    switch (dialog) {
        case MessageDialog::NotFound:
            return ShowOutcomeDialog(dialog, text, HostCause{});
        case MessageDialog::FileCheck:
            // Only reached without its case: a file check that is not known to be the same version.
            return ShowFileCheckDialog(FileCheckCase::WrongFile, text);
        case MessageDialog::FileCancel:
            Interrupts().flashMayChange = 0;
            Finish(EXIT_FILE_REFUSED, "file-refused", text);
            return DIALOG_CANCEL;
        case MessageDialog::Success:
            Finish(EXIT_OK, "success", text);
            return DIALOG_OK;
        case MessageDialog::UpdateFailed:
            Finish(EXIT_UPDATE_FAILED, "update-failed", text);
            return DIALOG_OK;
    }
    return DIALOG_CANCEL;  // no dialog of this program
}

int CliUpdateUi::ShowFileCheckDialog(FileCheckCase check, const std::string& text) {
    const int interrupted = Interrupts().signal;
    const bool sameVersion = check == FileCheckCase::VersionMatches;
    if (sameVersion && m_force && interrupted == 0) {
        return DIALOG_OK;
    }
    Interrupts().flashMayChange = 0;
    if (interrupted != 0) {
        // Interrupted while the prompt was due: quit it, which ends the camera session cleanly.
        Finish(EXIT_INTERRUPTED_BASE + interrupted, "interrupted", SESSION_ENDED_TEXT);
    } else if (sameVersion) {
        Finish(EXIT_SAME_VERSION, "same-version",
               text + "\nThe camera was left as it is; add --force to install this firmware again.");
    } else {
        Finish(EXIT_FILE_REFUSED, "file-refused", text);
    }
    return DIALOG_CANCEL;
}

FileDialogResult CliUpdateUi::ChooseFile(const std::string&, const std::string&, std::string& path) {
    if (Interrupts().signal != 0) {
        Finish(EXIT_INTERRUPTED_BASE + Interrupts().signal, "interrupted", SESSION_ENDED_TEXT);
        return FileDialogResult::Cancelled;
    }
    // There is one file to offer: asked again (after a file error, such as a path too long for the
    // updater's buffer), the chooser is left, which ends the run.
    if (m_finished) {
        return FileDialogResult::Cancelled;
    }
    path = m_imagePath;
    Interrupts().flashMayChange = 1;
    return FileDialogResult::Chosen;
}

void CliUpdateUi::ShowFileError(const std::string& text) {
    Interrupts().flashMayChange = 0;
    Finish(EXIT_FILE_REFUSED, "file-refused", text + " (" + m_imagePath + ")");
}

bool CliUpdateUi::OpenNotice(DownloadPhase phase) {
    m_erasePhase = phase == DownloadPhase::Erase;
    m_total = m_erasePhase ? wire::USB_ERASE_COMMANDS
                           : (m_controller.Session().m_portKind == PORT_KIND_USB ? wire::USB_BLOCK_COUNT
                                                                                 : wire::SERIAL_BLOCK_COUNT);
    m_done = 0;
    m_lastPrintedStep = -1;
    m_phaseStartMs = NowMs();
    m_finishAnnounced = false;
    return true;
}

bool CliUpdateUi::PaintNotice(uint32_t eventKind, int32_t, const char* text) {
    if (eventKind == STATUS_PROGRESS) {
        ++m_done;
    }
    PrintProgress(eventKind, text);
    if (eventKind == STATUS_PROGRESS && !m_erasePhase && m_done == m_total) {
        AnnounceFinish();
    }
    return true;
}

void CliUpdateUi::CloseNotice() {
    if (Interrupts().barShown != 0) {
        Interrupts().barShown = 0;
        PrintOut("\n");
    }
}

void CliUpdateUi::AnnounceFinish() {
    if (m_finishAnnounced) {
        return;
    }
    m_finishAnnounced = true;
    if (m_style.json) {
        PrintOut(JsonLine("step").Add("step", "checksum-and-reset").Add("text", FINISH_TEXT).Text());
        return;
    }
    CloseNotice();
    PrintOut(std::string(FINISH_TEXT) + "\n");
}

void CliUpdateUi::PrintProgress(uint32_t eventKind, const char* text) {
    const uint64_t elapsed = NowMs() - m_phaseStartMs;
    // The percentage follows the counts; only the completed event shows 100 without them.
    const int percent = eventKind == STATUS_COMPLETED ? 100 : PercentOf(m_done, m_total);
    const int64_t remaining = eventKind == STATUS_PROGRESS && m_done > 0 && m_done <= m_total
                                  ? static_cast<int64_t>(elapsed * static_cast<uint64_t>(m_total - m_done) /
                                                         static_cast<uint64_t>(m_done))
                                  : -1;
    const char* unit = m_erasePhase ? "erase steps" : "blocks";
    if (m_style.json) {
        JsonLine line("progress");
        line.Add("phase", m_erasePhase ? "erase" : "write")
            .Add("state", EventName(eventKind))
            .Add("percent", percent)
            .Add("done", m_done)
            .Add("total", m_total)
            .Add("elapsed_ms", static_cast<int64_t>(elapsed));
        if (remaining >= 0) {
            line.Add("remaining_ms", remaining);
        }
        PrintOut(line.Add("text", text).Text());
        return;
    }
    // At the last step the estimate would read "0:00 left" through the steps that follow; none is shown.
    const std::string left = remaining >= 0 && m_done < m_total
                                 ? "  about " + FormatDuration(static_cast<uint64_t>(remaining)) + " left"
                                 : std::string();
    char shownPercent[8];
    std::snprintf(shownPercent, sizeof shownPercent, "%3d%%", percent);
    const std::string total = std::to_string(m_total);
    std::string done = std::to_string(m_done);
    const std::string elapsedText = "  " + FormatDuration(elapsed) + " elapsed";
    if (m_style.terminal) {
        if (TakeWidthChange()) {
            m_style.columns = TerminalColumns(StandardOutput());
        }
        // Fields of a fixed width keep the bar's width and place from one picture to the next.
        done.insert(0, done.size() < total.size() ? total.size() - done.size() : 0, ' ');
        const std::string counts = std::string(shownPercent) + "  " + done + "/" + total + " " + unit;
        const std::string fixedLeft =
            left + std::string(left.size() < LEFT_WIDTH ? LEFT_WIDTH - left.size() : 0, ' ');
        const std::string line =
            FitProgressLine(text, percent,
                            {" " + counts + elapsedText + fixedLeft, " " + counts + fixedLeft, " " + counts,
                             std::string(" ") + shownPercent},
                            m_style.columns);
        // \r and the erase-to-end-of-line code redraw the bar in place.
        PrintOut("\r" + line + "\x1b[K");
        Interrupts().barShown = 1;
        return;
    }
    const int step = percent / PLAIN_STEP_PERCENT;
    if (eventKind == STATUS_PROGRESS && step == m_lastPrintedStep) {
        return;
    }
    m_lastPrintedStep = step;
    PrintOut(std::string(text) + "  " + shownPercent + "  " + done + "/" + total + " " + unit + elapsedText +
             left + "\n");
}

}  // namespace cli
