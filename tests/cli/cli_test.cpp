// qx410fw-cli as its users run it: the program itself in a child process, against the camera simulator
// on a pseudo-terminal (COM3) and on the USB driver socket, in a private device directory. Checked: exit
// statuses, the texts, the JSON lines (parsed), the progress bar on a terminal, the trace file against
// the simulator's own wire log, the camera's flash afterwards, two cameras at once and an interrupted
// update repeated. Rows whose whole download runs more than once are in the CliLong suites.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/firmware_image.h"
#include "cli/cli_ui.h"
#include "cli/exit_status.h"
#include "common/version.h"
#include "platform/devices.h"
#include "platform/usb_instance_lock.h"
#include "res/strings.h"
#include "tests/e2e/e2e_support.h"

namespace {

using nlohmann::json;

// The part of the payload a USB download writes: 248 blocks of 4096 bytes.
constexpr size_t USB_WRITTEN = 1015808;

using cli::EXIT_FILE_REFUSED;
using cli::EXIT_NOT_FOUND;
using cli::EXIT_PORT_BUSY;
using cli::EXIT_SAME_VERSION;
using cli::EXIT_UPDATE_FAILED;
using cli::EXIT_USAGE;
constexpr int EXIT_SIGINT = 130;

struct CliResult {
    int status = -1;  // exit status; -1 when killed or out of time
    std::string out;
    std::string err;
};

// Runs qx410fw-cli with its standard output on a pipe, or on a pseudo-terminal when terminal is set
// (columns wide; 0 leaves the size unset). The first time `when` shows up in the output (or, with `when`
// "@N", N ms after the start), action runs with the child's pid. Killed after limitSeconds.
CliResult RunCli(const std::vector<std::string>& arguments, bool terminal = false,
                 const std::string& when = "", const std::function<void(pid_t)>& action = {},
                 int limitSeconds = 400, unsigned short columns = 0) {
    CliResult result;
    int outFds[2] = {-1, -1};
    int errFds[2] = {-1, -1};
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    if (terminal ? openpty(&outFds[0], &outFds[1], nullptr, nullptr, columns > 0 ? &size : nullptr) != 0
                 : pipe(outFds) != 0) {
        return result;
    }
    if (pipe(errFds) != 0) {
        return result;
    }
    std::vector<std::string> argvStrings = {QX_CLI_PATH};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argvStrings) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFds[1], STDOUT_FILENO);
        dup2(errFds[1], STDERR_FILENO);
        close(outFds[0]);
        close(errFds[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outFds[1]);
    close(errFds[1]);
    const auto started = std::chrono::steady_clock::now();
    const auto limit = started + std::chrono::seconds(limitSeconds);
    const bool timed = when.rfind('@', 0) == 0;
    const auto actionTime = started + std::chrono::milliseconds(timed ? std::stoi(when.substr(1)) : 0);
    bool triggered = when.empty();
    pollfd fds[2] = {{outFds[0], POLLIN, 0}, {errFds[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (std::chrono::steady_clock::now() > limit) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "qx410fw-cli ran out of time";
            break;
        }
        if (!triggered && timed && std::chrono::steady_clock::now() >= actionTime) {
            triggered = true;
            action(pid);
        }
        if (poll(fds, 2, timed && !triggered ? 10 : 200) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
            if (count <= 0) {  // end of file; a pseudo-terminal says EIO once the child is gone
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            sinks[i]->append(buffer, static_cast<size_t>(count));
        }
        if (!triggered && !timed &&
            (result.out.find(when) != std::string::npos || result.err.find(when) != std::string::npos)) {
            triggered = true;
            action(pid);
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Every line of a --json run, parsed; a line that is not JSON fails the test.
std::vector<json> ParseJsonLines(const std::string& out) {
    std::vector<json> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
        try {
            lines.push_back(json::parse(line));
        } catch (const json::exception& error) {
            ADD_FAILURE() << "not a JSON line: " << line << " (" << error.what() << ")";
        }
    }
    return lines;
}

std::vector<json> EventsOf(const std::vector<json>& lines, const std::string& event) {
    std::vector<json> found;
    for (const json& line : lines) {
        if (line.value("event", "") == event) {
            found.push_back(line);
        }
    }
    return found;
}

// The bytes of one direction as hex, from the simulator's wire log ("H>C"/"C>H") or the trace (">"/"<").
std::string CollectBytes(const std::string& path, const std::string& direction, bool wireLog) {
    std::ifstream file(path);
    std::string bytes;
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::string time, marker;
        fields >> time >> marker;
        if (marker != direction) {
            continue;
        }
        if (wireLog) {
            std::string rate;
            fields >> rate;
        }
        for (std::string byte; fields >> byte;) {
            bytes += byte;
        }
    }
    return bytes;
}

// The flash after a USB download of payload: the written part equal, the rest erased.
void ExpectUsbFlash(const std::string& flashPath, const std::vector<uint8_t>& payload) {
    const std::vector<uint8_t> flash = e2e::ReadFile(flashPath);
    ASSERT_EQ(flash.size(), e2e::PAYLOAD_SIZE) << flashPath;
    EXPECT_TRUE(
        std::equal(flash.begin(), flash.begin() + USB_WRITTEN, payload.begin() + FIRMWARE_HEADER_SIZE))
        << flashPath << ": the written part differs from the payload";
    EXPECT_TRUE(
        std::all_of(flash.begin() + USB_WRITTEN, flash.end(), [](uint8_t byte) { return byte == 0xFF; }))
        << flashPath << ": the part a USB download never writes is not erased";
}

class CliTest : public e2e::SimulatorTest {
  protected:
    void SetUp() override {
        e2e::SimulatorTest::SetUp();
        m_image = e2e::MakePayload(410, FIRMWARE_IMAGE_SIZE);
        std::memcpy(m_image.data(), IDENTIFICATION_QX410, IDENTIFICATION_LENGTH);
        std::memcpy(m_image.data() + VERSION_OFFSET, "x100", VERSION_LENGTH);
        WriteImage("QX410-100.fw", m_image);
        std::vector<uint8_t> same = m_image;
        std::memcpy(same.data() + VERSION_OFFSET, "x060", VERSION_LENGTH);  // the simulated camera's 0.60
        WriteImage("same.fw", same);
        std::vector<uint8_t> wrong = m_image;
        wrong[10] ^= 0x20;
        WriteImage("wrong.fw", wrong);
        WriteImage("short.fw", std::vector<uint8_t>(m_image.begin(), m_image.begin() + 1000));
        WriteImage("empty.fw", {});
        mkdir(TempFile("folder.fw").c_str(), 0700);
        mkfifo(TempFile("pipe.fw").c_str(), 0600);
    }

    void WriteImage(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::ofstream(TempFile(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    // "{dir}/" in an argument stands for the test's directory.
    std::vector<std::string> Expand(std::vector<std::string> arguments) const {
        for (std::string& argument : arguments) {
            if (argument.rfind("{dir}/", 0) == 0) {
                argument = TempFile(argument.substr(6));
            }
        }
        return arguments;
    }

    std::vector<uint8_t> m_image;
};

// ---- Without a camera: usage, help, the image checks, nothing to find ----

struct OfflineRow {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    const char* stream;  // "out" or "err": where the text must appear
    const char* text;
};

void PrintTo(const OfflineRow& row, std::ostream* out) {
    *out << row.name;
}

class CliOffline : public CliTest, public ::testing::WithParamInterface<OfflineRow> {};

TEST_P(CliOffline, EndsWithItsStatusAndText) {
    const OfflineRow& row = GetParam();
    const CliResult result = RunCli(Expand(row.arguments));
    EXPECT_EQ(result.status, row.status) << result.out << result.err;
    const std::string& stream = std::string(row.stream) == "out" ? result.out : result.err;
    EXPECT_NE(stream.find(row.text), std::string::npos) << "out: " << result.out << "\nerr: " << result.err;
    if (std::find(row.arguments.begin(), row.arguments.end(), "--json") != row.arguments.end()) {
        EXPECT_FALSE(ParseJsonLines(result.out).empty());
        EXPECT_EQ(result.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CliOffline,
    ::testing::Values(
        OfflineRow{"help", {"--help"}, 0, "out", "6  the port is in use by another program"},
        OfflineRow{"update_help", {"update", "--help"}, 0, "out", "--force"},
        OfflineRow{"info_help", {"info", "-h"}, 0, "out", "the flash is not touched"},
        OfflineRow{"no_command", {}, EXIT_USAGE, "err", "no command given"},
        OfflineRow{"version_json",
                   {"--json", "-V"},
                   0,
                   "out",
                   R"({"event":"version","program":"qx410fw-cli","version":")"},
        OfflineRow{"unknown_command", {"flash"}, EXIT_USAGE, "err", "unknown command flash"},
        OfflineRow{"update_without_image",
                   {"update", "--port", "usb"},
                   EXIT_USAGE,
                   "err",
                   "exactly one firmware image"},
        OfflineRow{"bad_port",
                   {"update", "{dir}/QX410-100.fw", "--port", "com10"},
                   EXIT_USAGE,
                   "err",
                   "unknown port com10"},
        OfflineRow{
            "bad_usb_instance", {"info", "--port", "usb128"}, EXIT_USAGE, "err", "unknown port usb128"},
        OfflineRow{"unknown_option", {"info", "--bogus"}, EXIT_USAGE, "err", "unknown option --bogus"},
        OfflineRow{"check_good", {"check", "{dir}/QX410-100.fw"}, 0, "out", "firmware 1.00 for the QX410"},
        OfflineRow{
            "check_short", {"check", "{dir}/short.fw"}, EXIT_FILE_REFUSED, "err", "the file has 1000 bytes"},
        OfflineRow{
            "check_wrong_text", {"check", "{dir}/wrong.fw"}, EXIT_FILE_REFUSED, "err", "identification text"},
        OfflineRow{"check_folder",
                   {"check", "{dir}/folder.fw"},
                   EXIT_FILE_REFUSED,
                   "err",
                   "folder.fw: refused: not a regular file (a folder)"},
        OfflineRow{"check_pipe",
                   {"check", "{dir}/pipe.fw"},
                   EXIT_FILE_REFUSED,
                   "err",
                   "pipe.fw: refused: not a regular file (a pipe)"},
        OfflineRow{"check_empty",
                   {"check", "{dir}/empty.fw"},
                   EXIT_FILE_REFUSED,
                   "err",
                   "the file has 0 bytes; a firmware image has 1048704"},
        OfflineRow{"check_missing",
                   {"check", "{dir}/none.fw"},
                   EXIT_FILE_REFUSED,
                   "err",
                   "none.fw: refused: cannot be read: No such file or directory"},
        // The image is checked before the search, with the same words as check.
        OfflineRow{"update_missing",
                   {"update", "{dir}/none.fw", "--port", "usb"},
                   EXIT_FILE_REFUSED,
                   "err",
                   "none.fw: refused: cannot be read: No such file or directory"},
        OfflineRow{"update_folder_json",
                   {"--json", "update", "{dir}/folder.fw", "--port", "usb"},
                   EXIT_FILE_REFUSED,
                   "out",
                   R"x("accepted":false,"reason":"not a regular file (a folder)")x"},
        OfflineRow{"update_wrong_text",
                   {"update", "{dir}/wrong.fw", "--port", "usb"},
                   EXIT_FILE_REFUSED,
                   "err",
                   "wrong.fw: refused: the identification text is not"},
        // The options: "--" ends them, and one a command does not take is refused.
        OfflineRow{"double_dash",
                   {"check", "--", "--force"},
                   EXIT_FILE_REFUSED,
                   "err",
                   "--force: refused: cannot be read: No such file or directory"},
        OfflineRow{"check_force",
                   {"check", "--force", "{dir}/QX410-100.fw"},
                   EXIT_USAGE,
                   "err",
                   "option --force does not apply to check"},
        OfflineRow{"check_port",
                   {"check", "{dir}/QX410-100.fw", "--port", "com3"},
                   EXIT_USAGE,
                   "err",
                   "option --port does not apply to check"},
        OfflineRow{
            "info_force", {"info", "--force"}, EXIT_USAGE, "err", "option --force does not apply to info"},
        OfflineRow{"ports_trace",
                   {"--trace={dir}/t", "ports"},
                   EXIT_USAGE,
                   "err",
                   "option --trace does not apply to ports"},
        OfflineRow{"overwrite_without_trace",
                   {"info", "--overwrite-trace"},
                   EXIT_USAGE,
                   "err",
                   "--overwrite-trace needs --trace FILE"},
        OfflineRow{
            "usage_error_json",
            {"--json", "check", "--port", "com3", "{dir}/QX410-100.fw"},
            EXIT_USAGE,
            "out",
            R"({"event":"outcome","outcome":"usage-error","status":2,"message":"option --port does not apply to check"})"},
        OfflineRow{"unknown_command_json",
                   {"flash", "--json"},
                   EXIT_USAGE,
                   "out",
                   R"("outcome":"usage-error","status":2,"message":"unknown command flash")"},
        OfflineRow{"check_json",
                   {"--json", "check", "{dir}/QX410-100.fw"},
                   0,
                   "out",
                   R"("accepted":true,"version":"1.00","model":"QX410"})"},
        OfflineRow{"no_camera_usb",
                   {"update", "{dir}/QX410-100.fw", "--port", "usb"},
                   EXIT_NOT_FOUND,
                   "err",
                   "Camera can not be found."},
        OfflineRow{"no_camera_json",
                   {"info", "--port", "usb", "--json"},
                   EXIT_NOT_FOUND,
                   "out",
                   R"("outcome":"not-found","status":3)"}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- Against the simulator: every command, the refusals, a held port, an early interrupt ----

enum class Hold { Nothing, SerialPort, UsbInstance };

struct CameraRow {
    const char* name;
    bool usb;
    std::vector<std::string> simulator;  // extra simulator switches
    std::vector<std::string> arguments;
    int status;
    std::vector<const char*> texts;  // each must appear in the output (standard output and error)
    Hold hold = Hold::Nothing;
    const char* interruptWhen = "";  // SIGINT once this shows up
    int eraseCommands = 0;           // erase commands the camera took
};

void PrintTo(const CameraRow& row, std::ostream* out) {
    *out << row.name;
}

class CliCamera : public CliTest, public ::testing::WithParamInterface<CameraRow> {};

TEST_P(CliCamera, EndsWithItsStatusAndText) {
    const CameraRow& row = GetParam();
    std::vector<std::string> simulator = {row.usb ? "--usb" : "--serial", row.usb ? "1" : "3"};
    simulator.insert(simulator.end(), row.simulator.begin(), row.simulator.end());
    ASSERT_TRUE(row.usb || (mkdir(DeviceDir().c_str(), 0700) == 0 && e2e::PointNowhere(DeviceDir(), 3)));
    StartSimulator(simulator, row.usb ? "QX410U-001" : "COM3");

    std::unique_ptr<platform::ISerialPort> heldPort;
    std::unique_ptr<platform::UsbInstanceLock> heldLock;
    int errorNumber = 0;
    if (row.hold == Hold::SerialPort) {
        heldPort = platform::SystemDevices().OpenSerialPort("COM3", errorNumber);
        ASSERT_TRUE(heldPort);
    } else if (row.hold == Hold::UsbInstance) {
        heldLock = platform::LockUsbInstance("\\\\.\\QX410U-001", errorNumber);
        ASSERT_TRUE(heldLock);
    }

    std::chrono::steady_clock::time_point interruptedAt;
    const CliResult result = RunCli(Expand(row.arguments), false, row.interruptWhen, [&](pid_t pid) {
        interruptedAt = std::chrono::steady_clock::now();
        kill(pid, SIGINT);
    });
    EXPECT_EQ(result.status, row.status) << result.out << result.err;
    if (*row.interruptWhen != '\0') {
        // The search's steps take seconds (pauses of 2 s, replies awaited for 3 s); ended at the next
        // step it takes a fraction of one.
        EXPECT_LT(std::chrono::steady_clock::now() - interruptedAt, std::chrono::milliseconds(1500));
    }
    for (const char* text : row.texts) {
        EXPECT_NE((result.out + result.err).find(text), std::string::npos)
            << "missing: " << text << "\nout: " << result.out << "\nerr: " << result.err;
    }
    if (std::find(row.arguments.begin(), row.arguments.end(), "--json") != row.arguments.end()) {
        const std::vector<json> lines = ParseJsonLines(result.out);
        const std::vector<json> outcomes = EventsOf(lines, "outcome");
        ASSERT_EQ(outcomes.size(), 1u) << result.out;
        EXPECT_EQ(outcomes[0]["status"], row.status);
    }
    const e2e::SimSummary summary = StopSimulator();
    EXPECT_EQ(summary.Value("erase-commands"), std::to_string(row.eraseCommands));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CliCamera,
    ::testing::Values(
        CameraRow{"info_usb_json",
                  true,
                  {},
                  {"info", "--port", "usb", "--json"},
                  0,
                  {R"("link":"\\\\.\\QX410U-001")", R"("name":"Corva QX410 Zoom",)", R"("version":"0.60")",
                   R"("clock":"2001-06-15 12:30:45")", R"("state":6,"flags":"0x80","counter":1234)"}},
        CameraRow{"info_serial",
                  false,
                  {"--clock", "2024-02-29T23:59:58", "--name", "Shop camera 7"},
                  {"info", "--port", "com3"},
                  0,
                  {"Link:             COM3\n", "Camera ID:        Shop camera 7\n", "Firmware version: 0.60",
                   "Camera clock:     2024-02-29 23:59:58"}},
        CameraRow{"ports_serial",
                  false,
                  {},
                  {"ports"},
                  0,
                  {"--port com3", "/dev/pts/", "can be opened", "COM1", "not present"}},
        CameraRow{
            "ports_usb_json",
            true,
            {},
            {"--json", "ports"},
            0,
            {R"("port":"usb1","name":"\\\\.\\QX410U-001","device":")", R"("usable":true,"state":"free")"}},
        CameraRow{"same_version_usb_json",
                  true,
                  {},
                  {"update", "{dir}/same.fw", "--port", "usb", "--json"},
                  EXIT_SAME_VERSION,
                  {R"({"event":"camera","identified":true,"name":"Corva QX410 Zoom","version":"0.60")",
                   R"("message":"Selected firmware matches camera version.\nThe camera was left)"}},
        CameraRow{"same_version_serial",
                  false,
                  {},
                  {"update", "{dir}/same.fw", "--port", "com3"},
                  EXIT_SAME_VERSION,
                  {"Camera ID: Corva QX410 Zoom", "Selected firmware matches camera version.", "--force"}},
        CameraRow{"refused_block_serial_json",
                  false,
                  {"--refuse-block", "12"},
                  {"update", "{dir}/QX410-100.fw", "--port", "auto", "--json"},
                  EXIT_UPDATE_FAILED,
                  {R"("phase":"write","state":"failed")", R"("outcome":"update-failed","status":1)",
                   R"(RETRY PROCEDURE)"},
                  Hold::Nothing,
                  "",
                  1},
        CameraRow{"path_too_long_usb",
                  true,
                  {},
                  {"update", "{dir}/" + std::string(300, 'p') + ".fw", "--port", "usb"},
                  EXIT_FILE_REFUSED,
                  {"refused: cannot be read: File name too long"}},
        CameraRow{
            "adapter_latency_serial",
            false,
            {"--pace", "--adapter", "ftdi:32"},
            {"info", "--port", "com3"},
            EXIT_NOT_FOUND,
            {"COM3", "the serial adapter holds received bytes too long for the camera", "latency_timer"}},
        CameraRow{"serial_port_held",
                  false,
                  {},
                  {"info", "--port", "com3"},
                  EXIT_PORT_BUSY,
                  {"qx410fw-cli: COM3 (/dev/pts/", "held by another program (cli_test (pid ",
                   "do not switch that camera off"},
                  Hold::SerialPort},
        CameraRow{"usb_instance_held",
                  true,
                  {},
                  {"update", "{dir}/QX410-100.fw", "--port", "usb1", "--json"},
                  EXIT_PORT_BUSY,
                  {R"("outcome":"port-busy")", R"("cause":"held-by-another-program")",
                   R"(QX410U-001): held by another program (cli_test (pid )"},
                  Hold::UsbInstance},
        // Ctrl+C in the search: acknowledged at once, the search ends at its next step (the row's time
        // bound), nothing more is sent.
        CameraRow{"interrupted_search_usb",
                  true,
                  {},
                  {"update", "{dir}/QX410-100.fw", "--port", "usb"},
                  EXIT_SIGINT,
                  {"interrupt noted; ending the search", "the camera's firmware was not changed."},
                  Hold::Nothing,
                  "Searching for"},
        CameraRow{"interrupted_search_serial_json",
                  false,
                  {},
                  {"update", "{dir}/QX410-100.fw", "--port", "com3", "--json"},
                  EXIT_SIGINT,
                  {"interrupt noted; ending the search", R"("outcome":"interrupted","status":130)"},
                  Hold::Nothing,
                  "Searching for"},
        CameraRow{"interrupted_info_serial",
                  false,
                  {},
                  {"info", "--port", "com3"},
                  EXIT_SIGINT,
                  {"interrupt noted; ending the search", "Interrupted. The search was ended"},
                  Hold::Nothing,
                  "@3000"}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- A terminal gets a progress bar redrawn in place, fitted to its width ----

// Each picture of the bar in a terminal's output (the text between carriage returns), without the
// erase-to-end-of-line code.
std::vector<std::string> BarPictures(const std::string& out) {
    std::vector<std::string> pictures;
    size_t start = out.find('\r');
    while (start != std::string::npos) {
        const size_t end = out.find_first_of("\r\n", start + 1);
        std::string picture =
            out.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        const size_t erase = picture.find("\x1b[K");
        if (erase != std::string::npos) {
            picture.erase(erase);
        }
        if (picture.find('[') != std::string::npos) {
            pictures.push_back(picture);
        }
        start = end == std::string::npos ? end : out.find('\r', end);
    }
    return pictures;
}

// Every picture stays off the terminal's last column (so it never wraps) and shows the percentage its
// counts give.
void ExpectPicturesFit(const std::string& out, int columns) {
    const std::vector<std::string> pictures = BarPictures(out);
    ASSERT_FALSE(pictures.empty()) << out;
    for (const std::string& picture : pictures) {
        EXPECT_LT(picture.size(), static_cast<size_t>(columns)) << picture;
        int percent = -1;
        int done = -1;
        int total = -1;
        const size_t close = picture.find("] ");
        ASSERT_NE(close, std::string::npos) << picture;
        ASSERT_EQ(std::sscanf(picture.c_str() + close + 2, "%d%%  %d/%d", &percent, &done, &total), 3)
            << picture;
        EXPECT_EQ(percent, done * 100 / total) << picture;
    }
}

struct BarRow {
    const char* name;
    unsigned short columns;
    size_t barWidth;               // the bar's width between its brackets
    bool showsElapsed;             // room for the elapsed time beside the estimate
    unsigned short resizedTo = 0;  // the terminal narrowed to this width once the download starts
};

void PrintTo(const BarRow& row, std::ostream* out) {
    *out << row.name;
}

class CliBar : public CliTest, public ::testing::WithParamInterface<BarRow> {};

TEST_P(CliBar, FitsTheTerminal) {
    const BarRow& row = GetParam();
    ASSERT_TRUE(mkdir(DeviceDir().c_str(), 0700) == 0 && e2e::PointNowhere(DeviceDir(), 3));
    StartSimulator({"--serial", "3", "--refuse-block", "40"}, "COM3");
    // A terminal's new size reaches the program as its window manager's would: the size set on the
    // terminal, then SIGWINCH.
    const auto resize = [&](pid_t pid) {
        const int fd = open(("/proc/" + std::to_string(pid) + "/fd/1").c_str(), O_RDWR | O_NOCTTY);
        winsize size{};
        size.ws_row = 24;
        size.ws_col = row.resizedTo;
        EXPECT_EQ(ioctl(fd, TIOCSWINSZ, &size), 0);
        close(fd);
        kill(pid, SIGWINCH);
    };
    const CliResult result =
        RunCli({"update", TempFile("QX410-100.fw"), "--port", "com3"}, true,
               row.resizedTo != 0 ? "Downloading firmware" : "", resize, 400, row.columns);
    EXPECT_EQ(result.status, EXIT_UPDATE_FAILED) << result.out << result.err;
    ExpectPicturesFit(result.out, row.columns);
    if (row.resizedTo != 0) {
        const size_t later = result.out.find("   0%    20/4096 blocks");
        ASSERT_NE(later, std::string::npos) << result.out;
        ExpectPicturesFit(result.out.substr(later - 1), row.resizedTo);
    }
    const std::string empty =
        "Downloading firmware ... [" + std::string(row.barWidth, '-') + "]   0%     0/4096 blocks";
    EXPECT_NE(result.out.find("\r" + empty), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find(" elapsed  about ") != std::string::npos, row.showsElapsed) << result.out;
    EXPECT_NE(result.out.find(" left "), std::string::npos) << "no time estimate: " << result.out;
    // The last picture stays, without a time estimate, and the line is ended before the message.
    const size_t last = result.out.find("\rDownloading firmware failed. [");
    ASSERT_NE(last, std::string::npos) << result.out;
    EXPECT_NE(result.out.find("   1%    41/4096 blocks", last), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("left", last), std::string::npos) << result.out;
    EXPECT_TRUE(result.out.ends_with("\x1b[K\r\n")) << result.out;
    EXPECT_NE(result.err.find("Camera update failed."), std::string::npos) << result.err;
    StopSimulator();
}

INSTANTIATE_TEST_SUITE_P(Rows, CliBar,
                         ::testing::Values(BarRow{"columns_80", 80, 11, false},
                                           BarRow{"columns_120", 120, 37, true},
                                           BarRow{"columns_120_then_80", 120, 37, false, 80}),
                         [](const auto& row) { return std::string(row.param.name); });

// The line for a width: the widest bar that leaves the last column free, the tails dropped from the
// end when the bar would get too narrow, and at worst the text cut.
struct FitRow {
    const char* name;
    int columns;
    int percent;
    const char* line;
};

void PrintTo(const FitRow& row, std::ostream* out) {
    *out << row.name;
}

class ProgressLineFit : public ::testing::TestWithParam<FitRow> {};

TEST_P(ProgressLineFit, LeavesTheLastColumnFree) {
    const FitRow& row = GetParam();
    const std::string line = cli::FitProgressLine(
        "Writing", row.percent, {" 50%  2/4  0:01 elapsed", " 50%  2/4", " 50%"}, row.columns);
    EXPECT_EQ(line, row.line);
    EXPECT_LT(line.size(), static_cast<size_t>(row.columns > 0 ? row.columns : 80));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ProgressLineFit,
    ::testing::Values(FitRow{"wide_bar_capped", 200, 50,
                             "Writing [####################--------------------] 50%  2/4  0:01 elapsed"},
                      FitRow{"exact_fit", 44, 100, "Writing [##########] 50%  2/4  0:01 elapsed"},
                      FitRow{"elapsed_dropped", 43, 0, "Writing [-----------------------] 50%  2/4"},
                      FitRow{"counts_dropped", 25, 50, "Writing [#####-----] 50%"},
                      FitRow{"no_bar", 15, 50, "Writing 50%"}, FitRow{"text_cut", 6, 50, "Writi"},
                      FitRow{"unknown_width", 0, 50,
                             "Writing [####################--------------------] 50%  2/4  0:01 elapsed"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ProgressPercent, AgreesWithTheCounts) {
    EXPECT_EQ(cli::PercentOf(0, 16), 0);
    EXPECT_EQ(cli::PercentOf(3, 16), 18);
    EXPECT_EQ(cli::PercentOf(15, 16), 93);
    EXPECT_EQ(cli::PercentOf(16, 16), 100);
    EXPECT_EQ(cli::PercentOf(41, 4096), 1);
    EXPECT_EQ(cli::PercentOf(5, 0), 0);
}

// ---- The answers to the controller's prompts and notices, from their typed cases ----

// The user interface on a controller that never runs: what one prompt or notice prints, as JSON lines.
struct CliUiOutput {
    int answer = -1;
    int status = -1;
    std::string out;
};

CliUiOutput RunCliUi(bool force, const std::function<int(cli::CliUpdateUi&)>& call) {
    CUpdateController controller(platform::SystemDevices());
    cli::CliDevices devices(platform::SystemDevices(), 0);
    cli::CliUpdateUi ui(controller, devices, cli::OutputStyle{true, false, 0}, PORT_USB, "image.fw", force);
    CliUiOutput output;
    ::testing::internal::CaptureStdout();
    output.answer = call(ui);
    output.out = ::testing::internal::GetCapturedStdout();
    output.status = ui.ExitStatus();
    return output;
}

struct FileCheckRow {
    const char* name;
    FileCheckCase check;
    bool force;
    int answer;
    const char* outcome;  // "" when nothing is printed
    int status;
};

void PrintTo(const FileCheckRow& row, std::ostream* out) {
    *out << row.name;
}

class CliFileCheck : public ::testing::TestWithParam<FileCheckRow> {};

// Each prompt carries the other case's sentence: the answer follows the case alone.
TEST_P(CliFileCheck, AnswersFromTheCase) {
    const FileCheckRow& row = GetParam();
    const std::string text = res::LoadString(
        row.check == FileCheckCase::VersionMatches ? res::IDS_WRONG_FILE : res::IDS_VERSION_MATCHES);
    const CliUiOutput output =
        RunCliUi(row.force, [&](cli::CliUpdateUi& ui) { return ui.ShowFileCheckDialog(row.check, text); });
    EXPECT_EQ(output.answer, row.answer);
    if (row.outcome[0] == 0) {
        EXPECT_EQ(output.out, "");
        return;
    }
    const nlohmann::json line = nlohmann::json::parse(output.out);
    EXPECT_EQ(line["outcome"], row.outcome);
    EXPECT_EQ(line["status"], row.status);
    EXPECT_EQ(output.status, row.status);
}

INSTANTIATE_TEST_SUITE_P(Rows, CliFileCheck,
                         ::testing::Values(FileCheckRow{"SameVersionForced", FileCheckCase::VersionMatches,
                                                        true, DIALOG_OK, "", 0},
                                           FileCheckRow{"SameVersion", FileCheckCase::VersionMatches, false,
                                                        DIALOG_CANCEL, "same-version", EXIT_SAME_VERSION},
                                           FileCheckRow{"WrongFileForced", FileCheckCase::WrongFile, true,
                                                        DIALOG_CANCEL, "file-refused", EXIT_FILE_REFUSED},
                                           FileCheckRow{"WrongFile", FileCheckCase::WrongFile, false,
                                                        DIALOG_CANCEL, "file-refused", EXIT_FILE_REFUSED}),
                         [](const auto& row) { return std::string(row.param.name); });

// The phase comes with the notice; the label painted on it is only shown.
TEST(CliNotice, PhaseFromTheNoticeNotItsLabel) {
    const std::pair<DownloadPhase, const char*> rows[] = {
        {DownloadPhase::Erase, "Downloading firmware ..."},
        {DownloadPhase::Download, "Erasing data block ..."}};
    for (const auto& [phase, label] : rows) {
        const CliUiOutput output = RunCliUi(false, [&](cli::CliUpdateUi& ui) {
            ui.OpenNotice(phase);
            return ui.PaintNotice(STATUS_START, 0, label) ? 1 : 0;
        });
        const nlohmann::json line = nlohmann::json::parse(output.out);
        EXPECT_EQ(line["phase"], phase == DownloadPhase::Erase ? "erase" : "write") << label;
        EXPECT_EQ(line["text"], label);
    }
}

// ---- Ctrl+C in the search with no camera on the port: a pseudo-terminal that never answers ----

struct NoCameraRow {
    const char* name;
    std::vector<std::string> arguments;
    const char* when;
};

void PrintTo(const NoCameraRow& row, std::ostream* out) {
    *out << row.name;
}

class CliNoCamera : public CliTest, public ::testing::WithParamInterface<NoCameraRow> {};

TEST_P(CliNoCamera, InterruptEndsTheSearchAtOnce) {
    const NoCameraRow& row = GetParam();
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(mkdir(DeviceDir().c_str(), 0700) == 0 && e2e::PointNowhere(DeviceDir(), 1));
    ASSERT_EQ(symlink(ttyname(slave), (DeviceDir() + "/COM1").c_str()), 0);
    std::chrono::steady_clock::time_point interruptedAt;
    const CliResult result = RunCli(Expand(row.arguments), false, row.when, [&](pid_t pid) {
        interruptedAt = std::chrono::steady_clock::now();
        kill(pid, SIGINT);
    });
    const auto took = std::chrono::steady_clock::now() - interruptedAt;
    close(master);
    close(slave);
    EXPECT_EQ(result.status, EXIT_SIGINT) << result.out << result.err;
    EXPECT_NE(result.err.find("qx410fw-cli: interrupt noted; ending the search"), std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("Camera can not be found"), std::string::npos) << result.err;
    EXPECT_LT(took, std::chrono::milliseconds(1500));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CliNoCamera,
    ::testing::Values(
        NoCameraRow{"update", {"update", "{dir}/QX410-100.fw", "--port", "com1"}, "Searching for"},
        NoCameraRow{"info_at_2s", {"info", "--port", "com1"}, "@2000"},
        NoCameraRow{"update_auto_at_2s", {"update", "{dir}/QX410-100.fw"}, "@2000"}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- A file this user may not read: the check as an unprivileged user ----

TEST_F(CliTest, UnreadableImageNamesTheSystemsReason) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to run the check as another user";
    }
    chmod(TempFile("QX410-100.fw").c_str(), 0600);
    const std::string command = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                std::string(QX_CLI_PATH) + " check " + TempFile("QX410-100.fw") + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    const int status = pclose(pipe);
    EXPECT_EQ(WEXITSTATUS(status), EXIT_FILE_REFUSED) << out;
    EXPECT_EQ(out, TempFile("QX410-100.fw") + ": refused: cannot be read: Permission denied\n");
}

// ---- The version, and the trace file's header and safety ----

TEST_F(CliTest, VersionOptions) {
    for (const char* option : {"--version", "-V"}) {
        const CliResult result = RunCli({option});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "qx410fw-cli " + std::string(ProgramVersion()) + "\n");
    }
}

TEST_F(CliTest, TraceNeverOverwritesTheImageOrAnExistingFile) {
    const std::string image = TempFile("QX410-100.fw");
    ASSERT_EQ(link(image.c_str(), TempFile("same-inode.fw").c_str()), 0);
    WriteImage("old.trace", {'o', 'l', 'd'});
    const struct {
        std::vector<std::string> arguments;
        const char* text;
    } refusals[] = {
        {{"--trace", image, "update", image, "--port", "usb"}, "it is the firmware image"},
        {{"--trace", TempFile("same-inode.fw"), "--overwrite-trace", "update", image, "--port", "usb"},
         "it is the firmware image"},
        {{"--trace", TempFile("old.trace"), "info", "--port", "usb"}, "it exists (add --overwrite-trace"},
    };
    for (const auto& refusal : refusals) {
        const CliResult result = RunCli(refusal.arguments);
        EXPECT_EQ(result.status, EXIT_USAGE) << result.err;
        EXPECT_NE(result.err.find(refusal.text), std::string::npos) << result.err;
    }
    EXPECT_EQ(e2e::ReadFile(image), m_image);
    EXPECT_EQ(e2e::ReadFile(TempFile("old.trace")).size(), 3u);

    // Asked to, it replaces the old trace; the header names the program, the date, the arguments and
    // the port.
    const CliResult result =
        RunCli({"info", "--port", "usb1", "--trace", TempFile("old.trace"), "--overwrite-trace"});
    EXPECT_EQ(result.status, EXIT_NOT_FOUND) << result.err;
    std::ifstream trace(TempFile("old.trace"));
    std::string header((std::istreambuf_iterator<char>(trace)), std::istreambuf_iterator<char>());
    EXPECT_NE(header.find("\n# program: qx410fw-cli " + std::string(ProgramVersion()) + "\n"),
              std::string::npos)
        << header;
    EXPECT_NE(header.find("\n# date: 20"), std::string::npos) << header;
    EXPECT_NE(header.find("\n# arguments: info --port usb1 --trace " + TempFile("old.trace") +
                          " --overwrite-trace\n"),
              std::string::npos)
        << header;
    EXPECT_NE(header.find("\n# port: usb1\n"), std::string::npos) << header;
    EXPECT_EQ(header.find("old"), header.find("old.trace")) << header;
}

// ---- One complete update over USB: the JSON events, the trace against the wire log, the flash ----

TEST_F(CliTest, CompleteUsbUpdateWithJsonAndTrace) {
    StartSimulator({"--usb", "1", "--flash-out", TempFile("flash.bin")}, "QX410U-001");
    const CliResult result = RunCli(
        {"--json", "update", TempFile("QX410-100.fw"), "--port", "usb", "--trace", TempFile("cli.trace")});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    const std::vector<json> lines = ParseJsonLines(result.out);

    const std::vector<json> camera = EventsOf(lines, "camera");
    ASSERT_EQ(camera.size(), 1u);
    EXPECT_EQ(camera[0]["version"], "0.60");
    EXPECT_EQ(camera[0]["link"], "\\\\.\\QX410U-001");
    EXPECT_EQ(camera[0]["name"], "Corva QX410 Zoom");

    // Each phase: start, its steps counted up one by one with the percentage never falling, the end.
    for (const auto& [phase, total] : {std::pair<std::string, int>{"erase", 16}, {"write", 248}}) {
        std::vector<json> events;
        for (const json& event : EventsOf(lines, "progress")) {
            if (event["phase"] == phase) {
                events.push_back(event);
            }
        }
        ASSERT_EQ(events.size(), static_cast<size_t>(total) + 2) << phase;
        EXPECT_EQ(events.front()["state"], "start");
        EXPECT_EQ(events.back()["state"], "completed");
        EXPECT_EQ(events.back()["percent"], 100);
        for (int i = 1; i <= total; ++i) {
            EXPECT_EQ(events[i]["done"], i);
            EXPECT_EQ(events[i]["total"], total);
            EXPECT_LE(events[i - 1]["percent"].get<int>(), events[i]["percent"].get<int>());
            EXPECT_TRUE(events[i].contains("remaining_ms"));
        }
    }
    // The checksum and the reset are announced between the last block and the end of the write phase.
    const auto step = std::find_if(lines.begin(), lines.end(),
                                   [](const json& line) { return line.value("event", "") == "step"; });
    ASSERT_NE(step, lines.end());
    EXPECT_EQ((*step)["step"], "checksum-and-reset");
    EXPECT_EQ((*(step - 1))["done"], 248);
    EXPECT_EQ((*(step + 1))["state"], "completed");
    const std::vector<json> outcome = EventsOf(lines, "outcome");
    ASSERT_EQ(outcome.size(), 1u);
    EXPECT_EQ(outcome[0]["outcome"], "success");
    EXPECT_EQ(outcome[0]["message"],
              "Firmware 1.00 was successfully installed in your Corva QX410 Zoom Digital Camera !");
    EXPECT_EQ(lines.back(), outcome[0]);

    const e2e::SimSummary summary = StopSimulator();
    EXPECT_EQ(summary.Value("reset"), "yes");
    ExpectUsbFlash(TempFile("flash.bin"), m_image);
    const std::string sent = CollectBytes(TempFile("cli.trace"), ">", false);
    const std::string received = CollectBytes(TempFile("cli.trace"), "<", false);
    EXPECT_GT(sent.size(), 2 * USB_WRITTEN);
    EXPECT_TRUE(sent == CollectBytes(TempFile("wire.log"), "H>C", true)) << "the trace's sent bytes differ";
    EXPECT_TRUE(received == CollectBytes(TempFile("wire.log"), "C>H", true))
        << "the trace's received bytes differ";
}

// ---- Long: two cameras at once; an interrupted update repeated ----

using CliLong = CliTest;

TEST_F(CliLong, TwoUsbCamerasUpdatedSideBySide) {
    e2e::SimProcess second;
    StartSimulator({"--usb", "1", "--flash-out", TempFile("flash1.bin")}, "QX410U-001");
    std::string error;
    ASSERT_TRUE(
        second.Start({"--usb", "2", "--flash-out", TempFile("flash2.bin"), "--log", TempFile("wire2.log")},
                     DeviceDir() + "/QX410U-002", TempFile("summary2.txt"), error))
        << error;
    // Both ask for "the first USB camera not in use": the instance lock sends one of them to 002.
    CliResult results[2];
    std::thread other([&] {
        results[1] = RunCli({"--json", "update", TempFile("QX410-100.fw"), "--port", "usb"});
    });
    results[0] = RunCli({"--json", "update", TempFile("QX410-100.fw"), "--port", "usb"});
    other.join();
    std::vector<std::string> links;
    for (const CliResult& result : results) {
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        const std::vector<json> camera = EventsOf(ParseJsonLines(result.out), "camera");
        ASSERT_EQ(camera.size(), 1u);
        links.push_back(camera[0]["link"]);
    }
    std::sort(links.begin(), links.end());
    EXPECT_EQ(links, (std::vector<std::string>{"\\\\.\\QX410U-001", "\\\\.\\QX410U-002"}));
    StopSimulator();
    EXPECT_TRUE(second.Stop().valid);
    ExpectUsbFlash(TempFile("flash1.bin"), m_image);
    ExpectUsbFlash(TempFile("flash2.bin"), m_image);
}

struct InterruptRow {
    const char* name;
    const char* when;  // the JSON text after which the interruption comes
    bool unplug;       // the camera goes away (the simulator stops); otherwise Ctrl+C
    int status;
    const char* text;
};

void PrintTo(const InterruptRow& row, std::ostream* out) {
    *out << row.name;
}

class CliInterrupted : public CliTest, public ::testing::WithParamInterface<InterruptRow> {};

TEST_P(CliInterrupted, RepeatedUpdateSucceedsFromTheFlashLeftBehind) {
    const InterruptRow& row = GetParam();
    StartSimulator({"--usb", "1", "--flash-out", TempFile("interrupted.bin")}, "QX410U-001");
    const CliResult first = RunCli({"--json", "update", TempFile("QX410-100.fw"), "--port", "usb"}, false,
                                   row.when, [&](pid_t pid) {
                                       if (row.unplug) {
                                           m_sim.Stop();
                                       } else {
                                           kill(pid, SIGINT);
                                       }
                                   });
    EXPECT_EQ(first.status, row.status) << first.out << first.err;
    EXPECT_NE((first.out + first.err).find(row.text), std::string::npos) << first.out << first.err;
    const std::vector<json> lines = ParseJsonLines(first.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["event"], "outcome");
    EXPECT_EQ(lines.back()["status"], row.status);
    // The camera is free again for the next process.
    int errorNumber = 0;
    EXPECT_TRUE(platform::LockUsbInstance("\\\\.\\QX410U-001", errorNumber)) << errorNumber;
    m_sim.Stop();
    // Neither the old firmware nor the new one: the interruption left its mark.
    const std::vector<uint8_t> left = e2e::ReadFile(TempFile("interrupted.bin"));
    ASSERT_EQ(left.size(), e2e::PAYLOAD_SIZE);
    EXPECT_FALSE(
        std::equal(left.begin(), left.begin() + USB_WRITTEN, m_image.begin() + FIRMWARE_HEADER_SIZE));

    // Switched off and on with that flash, updated again as the RETRY PROCEDURE says.
    StartSimulator(
        {"--usb", "1", "--flash-in", TempFile("interrupted.bin"), "--flash-out", TempFile("flash.bin")},
        "QX410U-001");
    // ... on an 80-column terminal: the bar fits it to the end, and after the last block the checksum and
    // the reset are announced, with no estimate left on the full bar.
    const CliResult second =
        RunCli({"update", TempFile("QX410-100.fw"), "--port", "usb"}, true, "", {}, 400, 80);
    EXPECT_EQ(second.status, 0) << second.out << second.err;
    ExpectPicturesFit(second.out, 80);
    const size_t full = second.out.find("100%  248/248 blocks");
    ASSERT_NE(full, std::string::npos) << second.out;
    const size_t finish =
        second.out.find("\r\nSending the checksum, then resetting the camera ...\r\n", full);
    ASSERT_NE(finish, std::string::npos) << second.out;
    EXPECT_EQ(second.out.substr(full, finish - full).find("about"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("Firmware 1.00 was successfully installed", finish), std::string::npos)
        << second.out;
    StopSimulator();
    ExpectUsbFlash(TempFile("flash.bin"), m_image);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CliInterrupted,
    ::testing::Values(InterruptRow{"unplugged_during_erase",
                                   R"("phase":"erase","state":"progress","percent":25)", true,
                                   EXIT_UPDATE_FAILED, R"("outcome":"update-failed")"},
                      InterruptRow{"unplugged_half_way", R"("done":124,)", true, EXIT_UPDATE_FAILED,
                                   R"("outcome":"update-failed")"},
                      InterruptRow{"ctrl_c_half_way", R"("done":124,)", false, EXIT_SIGINT,
                                   "interrupted during the download. The camera's firmware is incomplete."}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
