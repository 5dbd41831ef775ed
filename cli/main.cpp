// qx410fw-cli: the firmware updater on the command line. `update` runs the same update controller as
// the desktop program through the command line's answers to its prompts; `info`, `check` and `ports`
// look at the camera, an image file and the machine's links without changing anything.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/firmware_image.h"
#include "app/update_controller.h"
#include "cli/cli_devices.h"
#include "cli/cli_system.h"
#include "cli/cli_ui.h"
#include "cli/doctor.h"
#include "cli/json_line.h"
#include "cli/ports.h"
#include "common/version.h"
#include "platform/device_namespace.h"
#include "platform/devices.h"
#include "platform/observed_devices.h"
#include "platform/usb_instance_lock.h"
#include "res/strings.h"
#include "wire/usb_device_name.h"

namespace {

using cli::JsonLine;

const char USAGE[] =
    R"(usage: qx410fw-cli [--json] [--trace FILE [--overwrite-trace]] COMMAND [options] [--] [IMAGE]

Updates the firmware of a Corva QX410 Zoom digital camera, as the desktop program qx410fw does.

Commands:
  update IMAGE [--port P] [--force]   install the firmware image IMAGE (*.fw) in the camera
  info [--port P]                     find the camera and print what its status block holds
  check IMAGE                         check a firmware image file without a camera
  ports                               what COM1..COM9 and the USB cameras are on this machine
  doctor                              check this machine for updating the camera (reads only)

Options (before or after the command):
  --json             machine-readable output: one JSON object a line (progress, camera, outcome)
  --trace FILE       update and info: write every byte sent to and received from the camera, with
                     times, to FILE (a new file: never the firmware image, never over an existing file)
  --overwrite-trace  replace the trace FILE when it exists
  -h, --help         help (after a command: that command's help)
  -V, --version      the program's version
  --                 the end of the options: what follows is the image (a name starting with -)

An option that does not apply to the command (check --port com3) is a usage error.

Ports (--port): auto (default: USB first, then COM1..COM9), com1 .. com9, usb (the first USB camera
not in use by another qx410fw-cli), usb1 .. usb127 (that USB instance only).

Exit status:
  0  success                 1  the update failed (follow the RETRY PROCEDURE)
  2  usage error             3  camera not found
  4  file refused            5  same version as the camera's, refused without --force
  6  the port is in use by another program
  7  permission denied: this user may not open the port
  130, 143  interrupted by Ctrl+C (SIGINT) or SIGTERM
)";

const char UPDATE_HELP[] = R"(usage: qx410fw-cli update IMAGE [--port P] [--force] [--json] [--trace FILE]

Checks IMAGE first, as the check command does (a regular readable file, the identification text, the
length of 1,048,704 bytes); then finds the camera on port P (default auto), shows its name and firmware
version, compares the versions, erases the camera's flash and writes the new firmware with a progress
display, sends the checksum and resets the camera.

  --port P    auto, com1..com9, usb or usb1..usb127
  --force     install even when IMAGE has the camera's firmware version (refused otherwise, status 5)

Ctrl+C or SIGTERM during the search is acknowledged at once and ends the search at its next step;
before the download it ends the camera session cleanly and leaves the firmware as it was (status 130
or 143). During the download it stops at once: the camera's firmware is then incomplete;
switch the camera off and on and run the same update again (the RETRY PROCEDURE).
)";

const char INFO_HELP[] = R"(usage: qx410fw-cli info [--port P] [--json] [--trace FILE]

Finds and identifies the camera on port P (default auto) and prints what its status block holds: the
camera's name, firmware version, clock, state, flags and counters. The session is then ended (the camera
leaves its update mode); the flash is not touched. Exit status 0, 3 (not found) or 6 (port in use).
)";

const char CHECK_HELP[] = R"(usage: qx410fw-cli check IMAGE [--json]

Checks IMAGE as the updater does before a download, without a camera: that it is a regular file this
user can read, the identification text, the length (1,048,704 bytes) and the version characters.
Prints the version, or why the file is refused (status 4): the system's reason when it cannot be
read, "not a regular file" for a folder or a pipe, the length when it is wrong.
)";

const char PORTS_HELP[] = R"(usage: qx410fw-cli ports [--json]

Lists COM1..COM9 with the device each one names on this machine, its driver (and an FTDI adapter's
latency timer), and whether this user can open it, and if not why (permission, or the program holding
it); every QX410 camera on the USB bus with its --port value, bus and port path, vendor:product,
product string, access and holder; and the driver sockets in the device directory. Nothing is opened.
)";

const char DOCTOR_HELP[] = R"(usage: qx410fw-cli doctor [--json]

Checks this machine for updating the camera, one line each, OK, WARN or FAIL with the fix: your groups
against each serial device's, the udev rule and an attached camera's access, USB-serial adapters left
without a tty (brltty), ModemManager probing ttyACM devices, an FTDI adapter's latency timer, the device
directory, and a display for the desktop program. It only reads (sysfs, /proc, /dev, the udev files):
no device is opened and nothing is sent. Exit status 0, or 1 when a line is FAIL.
)";

struct Arguments {
    std::string command;
    std::vector<std::string> positional;
    std::string port = "auto";
    std::string tracePath;
    bool json = false;
    bool force = false;
    bool overwriteTrace = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> given;  // the options given that only some commands take
};

// The options each command takes beyond --json, --help and --version.
bool Applies(const std::string& command, const std::string& option) {
    if (command == "update") {
        return true;
    }
    if (command == "info") {
        return option != "--force";
    }
    return false;
}

// Whether --json is among the options (before a "--"): a usage error is then a JSON line too.
bool WantsJson(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--") {
            return false;
        }
        if (argument == "--json") {
            return true;
        }
    }
    return false;
}

bool g_jsonErrors = false;

int UsageError(const std::string& message) {
    if (g_jsonErrors) {
        cli::PrintOut(JsonLine("outcome")
                          .Add("outcome", "usage-error")
                          .Add("status", cli::EXIT_USAGE)
                          .Add("message", message)
                          .Text());
    } else {
        cli::PrintErr("qx410fw-cli: " + message + "\nTry 'qx410fw-cli --help'.\n");
    }
    return cli::EXIT_USAGE;
}

bool ParseArguments(int argc, char** argv, Arguments& arguments, std::string& error) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool option = !optionsEnded && argument.size() > 1 && argument[0] == '-';
        if (!option) {
            (arguments.command.empty() ? arguments.command : arguments.positional.emplace_back()) = argument;
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "-h" || argument == "--help") {
            arguments.help = true;
        } else if (argument == "-V" || argument == "--version") {
            arguments.version = true;
        } else if (argument == "--json") {
            arguments.json = true;
        } else if (argument == "--force" || argument == "--overwrite-trace") {
            (argument == "--force" ? arguments.force : arguments.overwriteTrace) = true;
            arguments.given.push_back(argument);
        } else if (argument == "--port" || argument == "--trace") {
            if (i + 1 >= argc) {
                error = argument + " needs a value";
                return false;
            }
            (argument == "--port" ? arguments.port : arguments.tracePath) = argv[++i];
            arguments.given.push_back(argument);
        } else if (argument.rfind("--port=", 0) == 0 || argument.rfind("--trace=", 0) == 0) {
            const size_t equals = argument.find('=');
            const std::string name = argument.substr(0, equals);
            (name == "--port" ? arguments.port : arguments.tracePath) = argument.substr(equals + 1);
            arguments.given.push_back(name);
        } else {
            error = "unknown option " + argument;
            return false;
        }
    }
    return true;
}

// The options given that the command does not take, and the combinations that make no sense; "" when
// the line is sound.
std::string RefusedOption(const Arguments& arguments) {
    for (const std::string& option : arguments.given) {
        if (!Applies(arguments.command, option)) {
            return "option " + option + " does not apply to " + arguments.command;
        }
    }
    if (arguments.overwriteTrace && arguments.tracePath.empty()) {
        return "--overwrite-trace needs --trace FILE";
    }
    const bool traceGiven =
        std::find(arguments.given.begin(), arguments.given.end(), "--trace") != arguments.given.end();
    if (traceGiven && arguments.tracePath.empty()) {
        return "--trace needs a file name";
    }
    return "";
}

// --port into the port choice and the USB instance (0 = any); false when not understood.
bool ParsePort(std::string text, int16_t& port, int& usbInstance) {
    for (char& c : text) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    usbInstance = 0;
    if (text == "auto") {
        port = PORT_AUTO;
        return true;
    }
    if (text.size() == 4 && text.rfind("com", 0) == 0 && text[3] >= '1' && text[3] <= '9') {
        port = static_cast<int16_t>(text[3] - '0');
        return true;
    }
    if (text.rfind("usb", 0) != 0) {
        return false;
    }
    port = PORT_USB;
    const std::string digits = text.substr(3);
    if (digits.empty()) {
        return true;
    }
    if (digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    usbInstance = std::stoi(digits);
    return wire::IsUsbInstance(usbInstance);
}

// What the check of an image file found: accepted with its version and model, or the reason.
struct ImageCheck {
    std::string reason;  // empty when accepted
    std::string model;
    char version[4] = {};
};

std::string DescribeLength(uint64_t length) {
    return "the file has " + std::to_string(length) + " bytes; a firmware image has " +
           std::to_string(FIRMWARE_IMAGE_SIZE);
}

// The file first (it can be opened and is a regular file), then its content as the updater checks it.
ImageCheck CheckImage(const std::string& path) {
    ImageCheck check;
    const cli::FileFacts facts = cli::InspectFile(path);
    if (facts.error != 0) {
        check.reason = "cannot be read: " + cli::SystemErrorText(facts.error);
        return check;
    }
    if (facts.kind != cli::FileKind::Regular) {
        check.reason = facts.kind == cli::FileKind::Directory ? "not a regular file (a folder)"
                       : facts.kind == cli::FileKind::Pipe    ? "not a regular file (a pipe)"
                                                              : "not a regular file";
        return check;
    }
    if (facts.size > static_cast<uint64_t>(FIRMWARE_IMAGE_SIZE) || facts.size < IDENTIFICATION_LENGTH) {
        check.reason = DescribeLength(facts.size);  // too large to load, or too short to identify
        return check;
    }
    // The loader reports its errors through the user interface's file error box; here that is a line.
    class FileErrorUi final : public IUpdateUi {
      public:
        std::string error;
        WindowRect GetViewRect() override { return {}; }
        int ShowPortDialog(int16_t&) override { return DIALOG_CANCEL; }
        int ShowMessageDialog(MessageDialog, const std::string&) override { return DIALOG_CANCEL; }
        FileDialogResult ChooseFile(const std::string&, const std::string&, std::string&) override {
            return FileDialogResult::Failed;
        }
        void ShowFileError(const std::string& text) override { error = text; }
        void Beep(BeepKind) override {}
        void SetBusyCursor(bool) override {}
        void RepaintView() override {}
        bool OpenNotice(DownloadPhase) override { return false; }
        bool PaintNotice(uint32_t, int32_t, const char*) override { return false; }
        void CloseNotice() override {}
    } ui;
    int32_t length = 0;
    FirmwareImage image(LoadFirmwareImage(ui, path.c_str(), length));
    if (!image) {
        check.reason = ui.error;
    } else if (!HasIdentificationText(image.get(), length)) {
        check.reason = "the identification text is not a QX410 (or QX300) firmware image's";
    } else if (length != FIRMWARE_IMAGE_SIZE) {
        check.reason = DescribeLength(static_cast<uint64_t>(length));
    } else {
        check.model = CompareText(reinterpret_cast<const char*>(image.get()), IDENTIFICATION_QX410,
                                  IDENTIFICATION_LENGTH) == 0
                          ? "QX410"
                          : "QX300";
        CopyFileVersion(image.get() + VERSION_OFFSET, check.version);
    }
    return check;
}

// Prints what the check found, as the check command shows it; returns the exit status.
int ReportImageCheck(bool json, const std::string& path, const ImageCheck& check) {
    const bool accepted = check.reason.empty();
    const int status = accepted ? cli::EXIT_OK : cli::EXIT_FILE_REFUSED;
    if (json) {
        JsonLine line("image");
        line.Add("file", path).AddBool("accepted", accepted);
        if (accepted) {
            line.Add("version", cli::ShownVersion(check.version)).Add("model", check.model);
        } else {
            line.Add("reason", check.reason);
        }
        cli::PrintOut(line.Text());
        cli::PrintOutcome(true, status, accepted ? "accepted" : "file-refused",
                          accepted ? "firmware " + cli::ShownVersion(check.version) : check.reason);
    } else if (accepted) {
        cli::PrintOut(path + ": firmware " + cli::ShownVersion(check.version) + " for the " + check.model +
                      " (identification text and length correct)\n");
    } else {
        cli::PrintErr(path + ": refused: " + check.reason + "\n");
    }
    return status;
}

int RunCheckCommand(const Arguments& arguments) {
    if (arguments.positional.size() != 1) {
        return UsageError("check needs exactly one firmware image");
    }
    const std::string& path = arguments.positional[0];
    return ReportImageCheck(arguments.json, path, CheckImage(path));
}

// Ctrl+C and SIGTERM. During the search the first one is acknowledged at once and cuts the search's
// waits, so the search ends at its next step without sending anything more. Before the download it is
// only noted: the next prompt is answered "Quit", which ends the camera session cleanly. During the
// download, or at a second signal, the program ends at once with a message; the system closes the port
// and drops the USB instance lock. Only async-signal-safe calls here: the lines are put together by hand.
void HandleInterrupt(int signalNumber) {
    cli::InterruptState& state = cli::Interrupts();
    const bool first = state.signal == 0;
    if (first) {
        state.signal = signalNumber;
    }
    if (first && state.flashMayChange == 0) {
        static const char SEARCH_NOTE[] =
            "qx410fw-cli: interrupt noted; ending the search (press Ctrl+C again to quit at once).\n";
        static const char NOTE[] = "qx410fw-cli: interrupt noted; ending the camera session.\n";
        const bool searching = state.searching != 0;
        if (searching) {
            CutWaits();
        }
        const char* note = searching ? SEARCH_NOTE : NOTE;
        const int fd = cli::StandardError();
        if (state.barShown != 0) {
            cli::WriteRaw(fd, "\n", 1);
        }
        cli::WriteRaw(fd, note, std::strlen(note));
        return;
    }
    static const char DURING[] =
        "interrupted during the download. The camera's firmware is incomplete. "
        "Switch the camera off and on, then run the same update again (see the RETRY PROCEDURE).";
    static const char BEFORE[] =
        "interrupted. The camera's firmware was not changed. Switch the camera off and on before using it.";
    const char* message = state.flashMayChange != 0 ? DURING : BEFORE;
    const int status = cli::EXIT_INTERRUPTED_BASE + signalNumber;
    char line[512];
    size_t length = 0;
    const auto append = [&](const char* text) {
        for (; *text != '\0' && length < sizeof line; ++text) {
            line[length++] = *text;
        }
    };
    const char digits[4] = {static_cast<char>('0' + status / 100), static_cast<char>('0' + status / 10 % 10),
                            static_cast<char>('0' + status % 10), '\0'};
    append(state.barShown != 0 ? "\n" : "");
    if (state.json != 0) {
        append(R"({"event":"outcome","outcome":"interrupted","status":)");
        append(digits);
        append(R"(,"message":")");
        append(message);
        append("\"}\n");
        cli::WriteRaw(cli::StandardOutput(), line, length);
    } else {
        append("qx410fw-cli: ");
        append(message);
        append("\n");
        cli::WriteRaw(cli::StandardError(), line, length);
    }
    cli::ExitNow(status);
}

void InstallInterruptHandler() {
    cli::InstallInterruptHandlers(HandleInterrupt);
}

// The devices a command runs on: the machine's, traced when asked.
struct DeviceStack {
    std::unique_ptr<cli::TraceWriter> trace;
    std::unique_ptr<platform::IDevices> observed;
    std::unique_ptr<cli::CliDevices> devices;
};

// Arguments as one line for the trace's header, each one quoted when it holds a blank.
std::string JoinArguments(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        line += (i > 1 ? " " : "");
        line += argument.find_first_of(" \t'\"") == std::string::npos || argument.empty()
                    ? argument
                    : "'" + argument + "'";
    }
    return line;
}

int g_argc = 0;
char** g_argv = nullptr;

// image: the firmware image of the run, which the trace never overwrites ("" for none).
bool BuildDevices(const Arguments& arguments, int usbInstance, DeviceStack& stack, const std::string& image) {
    platform::IDevices* base = &platform::SystemDevices();
    if (!arguments.tracePath.empty()) {
        std::string reason;
        const int fd = cli::CreateTraceFile(arguments.tracePath, arguments.overwriteTrace, image, reason);
        if (fd < 0) {
            const std::string message = "cannot write the trace file " + arguments.tracePath + ": " + reason;
            if (arguments.json) {
                cli::PrintOutcome(true, cli::EXIT_USAGE, "usage-error", message);
            } else {
                cli::PrintErr("qx410fw-cli: " + message + "\n");
            }
            return false;
        }
        stack.trace = std::make_unique<cli::TraceWriter>(fd);
        stack.trace->WriteHeader({"program: qx410fw-cli " + std::string(ProgramVersion()),
                                  "date: " + cli::UtcTimestamp(),
                                  "arguments: " + JoinArguments(g_argc, g_argv), "port: " + arguments.port});
        stack.observed = platform::ObserveDevices(*base, *stack.trace);
        base = stack.observed.get();
    }
    stack.devices = std::make_unique<cli::CliDevices>(*base, usbInstance);
    return true;
}

int RunUpdateCommand(const Arguments& arguments, int16_t port, int usbInstance) {
    if (arguments.positional.size() != 1) {
        return UsageError("update needs exactly one firmware image");
    }
    // The image is checked before the search, which takes seconds; the updater checks it again later.
    const std::string& image = arguments.positional[0];
    const ImageCheck check = CheckImage(image);
    if (!check.reason.empty()) {
        return ReportImageCheck(arguments.json, image, check);
    }
    DeviceStack stack;
    if (!BuildDevices(arguments, usbInstance, stack, image)) {
        return cli::EXIT_USAGE;
    }
    CUpdateController controller(*stack.devices);
    cli::OutputStyle style;
    style.json = arguments.json;
    style.terminal = !arguments.json && cli::IsTerminal(cli::StandardOutput());
    if (style.terminal) {
        style.columns = cli::TerminalColumns(cli::StandardOutput());
        cli::WatchTerminalWidth();
    }
    cli::CliUpdateUi ui(controller, *stack.devices, style, port, arguments.positional[0], arguments.force);
    cli::Interrupts().json = arguments.json ? 1 : 0;
    controller.SetInfoBar(&ui);
    InstallInterruptHandler();
    controller.RunUpdate(ui);
    return ui.ExitStatus();
}

std::string FormatClock(const CameraClock& clock) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", clock.year + 1900, clock.month + 1,
                  clock.day, clock.hour, clock.minute, clock.second);
    return text;
}

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

int RunInfoCommand(const Arguments& arguments, int16_t port, int usbInstance) {
    if (!arguments.positional.empty()) {
        return UsageError("info takes no file");
    }
    DeviceStack stack;
    if (!BuildDevices(arguments, usbInstance, stack, "")) {
        return cli::EXIT_USAGE;
    }
    cli::Interrupts().json = arguments.json ? 1 : 0;
    InstallInterruptHandler();
    CCameraSession session(*stack.devices);
    CameraInfo info;
    char name[40] = {};
    CameraName cameraName;
    cameraName.name = name;
    int32_t notIdentified = 0;
    cli::Interrupts().searching = 1;
    session.SearchCamera(port, &info, &cameraName, &notIdentified);
    cli::Interrupts().searching = 0;
    RestoreWaits();  // ending the session after an interrupt needs its pauses again
    const int interrupted = cli::Interrupts().signal;
    if (session.GetResultCode() != 0 && interrupted != 0) {
        cli::PrintOutcome(arguments.json, cli::EXIT_INTERRUPTED_BASE + interrupted, "interrupted",
                          "Interrupted. The search was ended.");
        return cli::EXIT_INTERRUPTED_BASE + interrupted;
    }
    if (session.GetResultCode() != 0) {
        return cli::ReportSearchFailure(arguments.json, *stack.devices, ExplainSearchFailure(session, port),
                                        res::LoadString(res::IDS_NOT_FOUND));
    }
    const std::string link = cli::DescribeLink(session);
    const uint8_t* block = session.m_statusBlock;
    const uint32_t version = info.version;
    const char shown[4] = {
        static_cast<char>((version >> 24) + '0'), static_cast<char>(((version >> 16) & 0xFF) + '0'),
        static_cast<char>(((version >> 8) & 0xFF) + '0'),
        static_cast<char>((version & 0xFF) < 10 ? (version & 0xFF) + '0' : (version & 0xFF) + 55)};
    session.EndSession();
    const bool ended = session.GetResultCode() == 0;
    if (cli::Interrupts().signal != 0) {
        cli::PrintOutcome(arguments.json, cli::EXIT_INTERRUPTED_BASE + cli::Interrupts().signal,
                          "interrupted", "Interrupted. The camera session was ended.");
        return cli::EXIT_INTERRUPTED_BASE + cli::Interrupts().signal;
    }
    if (arguments.json) {
        JsonLine line("camera");
        line.Add("link", link).AddBool("identified", notIdentified == 0);
        if (notIdentified == 0) {
            line.Add("name", cli::TrimmedName(name))
                .Add("version", cli::ShownVersion(shown))
                .Add("version_word", Hex(version, 8))
                .Add("clock", FormatClock(info.clock))
                .Add("state", block[STATUS_STATE])
                .Add("flags", Hex(block[STATUS_FLAGS], 2))
                .Add("counter", info.counter)
                .Add("selected_value", info.selectedValue);
        }
        cli::PrintOut(line.Text());
        cli::PrintOutcome(true, cli::EXIT_OK, ended ? "success" : "session-not-ended", "");
    } else if (notIdentified != 0) {
        cli::PrintOut("Camera on " + link + ": found, but it did not identify itself.\n");
    } else {
        const uint8_t flags = block[STATUS_FLAGS];
        std::string flagText = Hex(flags, 2);
        flagText += (flags & FLAG_VALID) != 0 ? " (valid" : " (not valid";
        flagText += (flags & FLAG_INVALID) != 0 ? ", invalid bit" : "";
        flagText += (flags & FLAG_FOLLOWED_UP) != 0 ? ", followed up)" : ")";
        cli::PrintOut("Link:             " + link + "\n" + "Camera ID:        " + cli::TrimmedName(name) +
                      "\n" + "Firmware version: " + cli::ShownVersion(shown) + " (" + Hex(version, 8) +
                      ")\n" + "Camera clock:     " + FormatClock(info.clock) + "\n" +
                      "State:            " + std::to_string(block[STATUS_STATE]) + " (6 = ready)\n" +
                      "Flags:            " + flagText + "\n" +
                      "Counter:          " + std::to_string(info.counter) + "\n" +
                      "Selected value:   " + std::to_string(info.selectedValue) + "\n");
        if (!ended) {
            cli::PrintErr("The camera did not confirm the end of the session; switch it off and on.\n");
        }
    }
    return cli::EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
    g_argc = argc;
    g_argv = argv;
    g_jsonErrors = WantsJson(argc, argv);
    Arguments arguments;
    std::string error;
    if (!ParseArguments(argc, argv, arguments, error)) {
        return UsageError(error);
    }
    const std::string& command = arguments.command;
    if (arguments.help) {
        const char* text = command == "update"   ? UPDATE_HELP
                           : command == "info"   ? INFO_HELP
                           : command == "check"  ? CHECK_HELP
                           : command == "ports"  ? PORTS_HELP
                           : command == "doctor" ? DOCTOR_HELP
                                                 : USAGE;
        cli::PrintOut(text);
        return cli::EXIT_OK;
    }
    if (arguments.version) {
        cli::PrintOut(
            arguments.json
                ? JsonLine("version").Add("program", "qx410fw-cli").Add("version", ProgramVersion()).Text()
                : "qx410fw-cli " + std::string(ProgramVersion()) + "\n");
        return cli::EXIT_OK;
    }
    if (command != "update" && command != "info" && command != "check" && command != "ports" &&
        command != "doctor") {
        return UsageError(command.empty() ? "no command given" : "unknown command " + command);
    }
    const std::string refused = RefusedOption(arguments);
    if (!refused.empty()) {
        return UsageError(refused);
    }
    int16_t port = PORT_AUTO;
    int usbInstance = 0;
    if (!ParsePort(arguments.port, port, usbInstance)) {
        return UsageError("unknown port " + arguments.port + " (auto, com1..com9, usb, usb1..usb127)");
    }
    if (command == "update") {
        return RunUpdateCommand(arguments, port, usbInstance);
    }
    if (command == "info") {
        return RunInfoCommand(arguments, port, usbInstance);
    }
    if (command == "check") {
        return RunCheckCommand(arguments);
    }
    if (command == "ports") {
        if (!arguments.positional.empty()) {
            return UsageError("ports takes no arguments");
        }
        return cli::RunPorts(arguments.json);
    }
    if (command == "doctor") {
        if (!arguments.positional.empty()) {
            return UsageError("doctor takes no arguments");
        }
        return cli::RunDoctor(arguments.json, cli::MachineRoots{});
    }
    return UsageError(command.empty() ? "no command given" : "unknown command " + command);
}
