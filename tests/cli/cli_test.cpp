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
#include "cli/exit_status.h"
#include "platform/devices.h"
#include "platform/usb_instance_lock.h"
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

// Runs qx410fw-cli with its standard output on a pipe, or on a pseudo-terminal when terminal is set. The
// first time `when` shows up in the output, action runs with the child's pid. Killed after limitSeconds.
CliResult RunCli(const std::vector<std::string>& arguments, bool terminal = false,
                 const std::string& when = "", const std::function<void(pid_t)>& action = {},
                 int limitSeconds = 400) {
    CliResult result;
    int outFds[2] = {-1, -1};
    int errFds[2] = {-1, -1};
    if (terminal ? openpty(&outFds[0], &outFds[1], nullptr, nullptr, nullptr) != 0 : pipe(outFds) != 0) {
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
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
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
        if (poll(fds, 2, 200) <= 0) {
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
        if (!triggered &&
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
        mkdir(TempFile("folder.fw").c_str(), 0700);
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
        OfflineRow{
            "check_folder", {"check", "{dir}/folder.fw"}, EXIT_FILE_REFUSED, "err", "identification text"},
        OfflineRow{"check_missing",
                   {"check", "{dir}/none.fw"},
                   EXIT_FILE_REFUSED,
                   "err",
                   "File open or read error!"},
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

    const CliResult result =
        RunCli(Expand(row.arguments), false, row.interruptWhen, [](pid_t pid) { kill(pid, SIGINT); });
    EXPECT_EQ(result.status, row.status) << result.out << result.err;
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
                  {R"("link":"\\\\.\\QX410U-001")", R"("name":"Corva QX410 Zoom )", R"("version":"0.60")",
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
        CameraRow{"wrong_file_usb",
                  true,
                  {},
                  {"update", "{dir}/wrong.fw", "--port", "usb", "--json"},
                  EXIT_FILE_REFUSED,
                  {R"("outcome":"file-refused")", R"(Selected file is wrong.\nTo select correct file)"}},
        CameraRow{"same_version_serial",
                  false,
                  {},
                  {"update", "{dir}/same.fw", "--port", "com3"},
                  EXIT_SAME_VERSION,
                  {"Camera ID: Corva QX410 Zoom", "Selected firmware matches camera version.", "--force"}},
        CameraRow{"unreadable_file_usb",
                  true,
                  {},
                  {"update", "{dir}/none.fw", "--port", "usb"},
                  EXIT_FILE_REFUSED,
                  {"File open or read error!"}},
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
                  {"The path of the selected file is too long."}},
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
        CameraRow{"interrupted_before_download",
                  true,
                  {},
                  {"update", "{dir}/QX410-100.fw", "--port", "usb"},
                  EXIT_SIGINT,
                  {"Interrupted. The camera session was ended; the camera's firmware was not changed."},
                  Hold::Nothing,
                  "Searching for"}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- A terminal gets a progress bar redrawn in place ----

TEST_F(CliTest, TerminalShowsProgressBar) {
    ASSERT_TRUE(mkdir(DeviceDir().c_str(), 0700) == 0 && e2e::PointNowhere(DeviceDir(), 3));
    StartSimulator({"--serial", "3", "--refuse-block", "40"}, "COM3");
    const CliResult result = RunCli({"update", TempFile("QX410-100.fw"), "--port", "com3"}, true);
    EXPECT_EQ(result.status, EXIT_UPDATE_FAILED) << result.out << result.err;
    EXPECT_NE(result.out.find("\rDownloading firmware ... [------------------------]   0%  0/4096 blocks"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("  1%  41/4096 blocks  0:0"), std::string::npos) << result.out;
    // The last picture stays, without a time estimate, and the line is ended before the message.
    const size_t last =
        result.out.find("\rDownloading firmware failed. [------------------------]   1%  41/4096 blocks");
    EXPECT_NE(last, std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("left", last), std::string::npos) << result.out;
    EXPECT_TRUE(result.out.ends_with(" elapsed\x1b[K\r\n")) << result.out;
    EXPECT_NE(result.out.find("left\x1b[K"), std::string::npos) << "no time estimate: " << result.out;
    EXPECT_NE(result.err.find("Camera update failed."), std::string::npos) << result.err;
    StopSimulator();
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
    EXPECT_EQ(camera[0]["id"].get<std::string>().rfind("Corva QX410 Zoom", 0), 0u);

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
    const CliResult second = RunCli({"--json", "update", TempFile("QX410-100.fw"), "--port", "usb"});
    EXPECT_EQ(second.status, 0) << second.out << second.err;
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
