// The camera's faults against the whole update, end to end: for every fault switch of the simulator
// program, on the serial link (a pseudo-terminal published as COM3) and on the USB driver socket, the
// real update controller runs on the machine's devices with a scripted user who picks the right port,
// chooses a good image and presses Continue. Whatever the camera does, the update must end with the
// failure or the not-found message, never the success message, within a bounded time, without a crash,
// and with the image file neither changed nor opened for writing.
//
// Each row runs the controller in a child process, so a crash or a hang is seen and reported as the
// row's outcome instead of ending the whole run; rows run side by side, each with its own runtime
// directory and simulator. The rows are printed as a table and written to fault_matrix.txt
// (fault_matrix_long.txt for the slow rows) in the build tree.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/firmware_image.h"
#include "app/update_controller.h"
#include "common/clock.h"
#include "platform/devices.h"
#include "res/strings.h"
#include "tests/app/scripted_ui.h"
#include "tests/e2e/sim_process.h"

namespace {

enum class Link { Serial, Usb };

// The COM port the simulated camera's pseudo-terminal is published as; every other COMn points nowhere,
// so the machine's own serial ports are never probed.
constexpr int SERIAL_PORT = 3;

struct FaultRow {
    const char* fault;  // as printed in the table
    Link link;
    std::vector<std::string> switches;  // the simulator's fault switches
    const char* expected;               // "failed" or "not-found"
    int boundSeconds;                   // the update must be over by then
    int unplugAfterSeconds = 0;         // non-zero: the simulator is stopped then (the camera unplugged)
};

const char* LinkName(Link link) {
    return link == Link::Serial ? "serial" : "usb";
}

// What the scripted user saw last, as the child reports it: "success", "failed", "not-found", or the
// last prompt for anything else; a leaked descriptor on the image is reported as "image-left-open".
std::string ClassifyEnding(const ScriptedUi& ui) {
    const std::vector<std::string> prompts = ui.Prompts();
    const std::string last = prompts.empty() ? "nothing" : prompts.back();
    if (last == "message 1538 " + std::string(res::LoadString(res::IDS_UPDATE_FAILED))) {
        return "failed";
    }
    if (last == "message 1539 " + std::string(res::LoadString(res::IDS_NOT_FOUND))) {
        return "not-found";
    }
    if (last.rfind("message 104 ", 0) == 0) {
        return "success";
    }
    return "other: " + last;
}

bool DescriptorOpenOn(const std::string& path) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == path) {
            return true;
        }
    }
    return false;
}

// The child: one whole update as the user runs it, then the ending on the pipe.
[[noreturn]] void RunUpdateInChild(int16_t port, const std::string& imagePath, int reportFd) {
    std::string ending;
    {
        CUpdateController controller(platform::SystemDevices());
        ScriptedUi ui;
        ui.controller = &controller;
        ui.portChoice = port;
        ui.fileAnswers.push_back({FileDialogResult::Chosen, imagePath});
        ui.messageAnswers = {DIALOG_OK, DIALOG_OK, DIALOG_OK};  // Continue, a few times at most
        controller.SetStatus(STATUS_LINE_PORT_PROMPT);
        controller.RunUpdate(ui);
        ending = ClassifyEnding(ui);
        if (DescriptorOpenOn(imagePath)) {
            ending = "image-left-open";
        }
    }
    [[maybe_unused]] const ssize_t written = write(reportFd, ending.data(), ending.size());
    _exit(0);
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A right image for the camera (version 2.10, so no same-version prompt), read-only.
std::vector<uint8_t> WriteImage(const std::string& path) {
    std::vector<uint8_t> image(FIRMWARE_IMAGE_SIZE);
    uint32_t state = 410;
    for (uint8_t& byte : image) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    std::memcpy(image.data(), IDENTIFICATION_QX410, 48);
    std::memcpy(image.data() + VERSION_OFFSET, "x210", VERSION_LENGTH);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    chmod(path.c_str(), 0444);
    return image;
}

// Sleeps through the updater's pauses instead of spinning, so that several rows share the machine's
// cores; the counter is the system's, so every time-out and pause keeps its length.
class SleepingClock final : public IClock {
  public:
    uint32_t ReadMs() override { return m_system.ReadMs(); }
    uint32_t WaitMs(uint32_t durationMs) override {
        const uint32_t start = ReadMs();
        for (uint32_t elapsed = 0; elapsed < durationMs; elapsed = ElapsedMs(start, ReadMs())) {
            const long leftUs = static_cast<long>(durationMs - elapsed) * 1000L;
            const timespec pause{leftUs / 1000000L, (leftUs % 1000000L) * 1000L};
            nanosleep(&pause, nullptr);
        }
        return ReadMs();
    }

  private:
    SystemClock m_system;
};

using SteadyClock = std::chrono::steady_clock;

// One row in flight: its private runtime directory with the simulator, the image, and the child that
// runs the update. Whatever happens, the destructor leaves no process behind.
struct RowRun {
    const FaultRow* row = nullptr;
    std::string dir;
    std::string imagePath;
    std::vector<uint8_t> image;
    int watch = -1;
    e2e::SimProcess sim;
    pid_t child = -1;
    int reportFd = -1;
    SteadyClock::time_point start;
    bool unplugged = false;
    std::string ending;
    double seconds = 0;
    std::string error;  // set when the row could not be set up
    bool fileTouched = false;
    bool fileChanged = false;
    bool resetSeen = false;

    RowRun() = default;
    RowRun(const RowRun&) = delete;
    RowRun& operator=(const RowRun&) = delete;
    ~RowRun() {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (reportFd >= 0) {
            close(reportFd);
        }
        if (watch >= 0) {
            close(watch);
        }
        sim.Stop();
        e2e::RemoveRuntimeDir(dir);
    }

    double Elapsed() const { return std::chrono::duration<double>(SteadyClock::now() - start).count(); }
};

// Sets up the row's directory (COMn entries that point nowhere but the camera's), image and simulator,
// and forks the child that runs the update.
void StartRow(RowRun& run) {
    const FaultRow& row = *run.row;
    run.dir = e2e::MakePrivateRuntimeDir();  // also XDG_RUNTIME_DIR for the simulator and the child
    const std::string deviceDir = run.dir + "/qx410fw";
    if (run.dir.empty() || mkdir(deviceDir.c_str(), 0700) != 0) {
        run.error = "cannot make the runtime directory";
        return;
    }
    for (int n = 1; n <= 9; ++n) {
        if (row.link == Link::Serial && n == SERIAL_PORT) {
            continue;
        }
        const std::string entry = deviceDir + "/COM" + std::to_string(n);
        if (symlink("/nonexistent/qx410-port", entry.c_str()) != 0) {
            run.error = "cannot make " + entry;
            return;
        }
    }
    run.imagePath = run.dir + "/update.fw";
    run.image = WriteImage(run.imagePath);
    run.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (run.watch < 0 ||
        inotify_add_watch(run.watch, run.imagePath.c_str(),
                          IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF) < 0) {
        run.error = "cannot watch the image";
        return;
    }

    std::vector<std::string> arguments;
    std::string published;
    if (row.link == Link::Serial) {
        arguments = {"--serial", std::to_string(SERIAL_PORT)};
        published = "COM" + std::to_string(SERIAL_PORT);
    } else {
        arguments = {"--usb", "1"};
        published = "QX410U-001";
    }
    arguments.insert(arguments.end(), row.switches.begin(), row.switches.end());
    arguments.insert(arguments.end(), {"--log", run.dir + "/wire.log"});
    if (!run.sim.Start(arguments, deviceDir + "/" + published, run.dir + "/summary.txt", run.error)) {
        return;
    }

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        run.error = "cannot make a pipe";
        return;
    }
    std::fflush(nullptr);
    run.start = SteadyClock::now();
    run.child = fork();
    if (run.child == 0) {
        close(report[0]);
        SleepingClock clock;
        ScopedClock scoped(clock);
        RunUpdateInChild(row.link == Link::Serial ? int16_t{SERIAL_PORT} : PORT_USB, run.imagePath,
                         report[1]);
    }
    close(report[1]);
    run.reportFd = report[0];
    if (run.child < 0) {
        run.error = "cannot fork";
    }
}

// Takes what the child reported; true once the row is over (reported and ended, killed, or crashed).
bool ServiceRow(RowRun& run) {
    const FaultRow& row = *run.row;
    const double elapsed = run.Elapsed();
    if (row.unplugAfterSeconds != 0 && !run.unplugged && elapsed >= row.unplugAfterSeconds) {
        run.sim.Stop();
        run.unplugged = true;
    }
    bool over = false;
    if (elapsed > row.boundSeconds) {
        kill(run.child, SIGKILL);
        run.ending = "hang";
        over = true;
    } else {
        char text[256];
        const ssize_t got = read(run.reportFd, text, sizeof text);
        if (got > 0) {
            run.ending.append(text, static_cast<size_t>(got));
        }
        over = got == 0;  // end of file: the child is gone
    }
    if (!over) {
        return false;
    }
    int status = 0;
    waitpid(run.child, &status, 0);
    run.child = -1;
    run.seconds = run.Elapsed();
    if (WIFSIGNALED(status) && run.ending != "hang") {
        run.ending = "crash (signal " + std::to_string(WTERMSIG(status)) + ")";
    }
    if (run.ending.empty()) {
        run.ending = "no report";
    }
    const e2e::SimSummary summary = run.sim.Stop();
    run.resetSeen = summary.valid && summary.Value("reset") != "no";
    char events[4096];
    run.fileTouched = read(run.watch, events, sizeof events) > 0;
    run.fileChanged = ReadWholeFile(run.imagePath) != run.image;
    return true;
}

// Runs the rows, up to `parallel` at a time, prints the table and writes it to fileName in the build
// tree, then checks every row.
void RunMatrix(const std::vector<FaultRow>& rows, size_t parallel, const char* fileName) {
    std::vector<std::unique_ptr<RowRun>> runs;
    std::vector<RowRun*> active;
    size_t next = 0;
    while (next < rows.size() || !active.empty()) {
        while (active.size() < parallel && next < rows.size()) {
            runs.push_back(std::make_unique<RowRun>());
            RowRun& run = *runs.back();
            run.row = &rows[next++];
            StartRow(run);
            ASSERT_EQ(run.error, "") << run.row->fault << " on " << LinkName(run.row->link);
            fcntl(run.reportFd, F_SETFL, O_NONBLOCK);
            active.push_back(&run);
        }
        std::vector<pollfd> fds;
        for (RowRun* run : active) {
            fds.push_back({run->reportFd, POLLIN, 0});
        }
        poll(fds.data(), fds.size(), 100);
        std::erase_if(active, [](RowRun* run) { return ServiceRow(*run); });
    }

    std::string table = "fault                          link    outcome     seconds\n";
    for (const auto& run : runs) {
        char line[160];
        std::snprintf(line, sizeof line, "%-30s %-7s %-11s %7.1f\n", run->row->fault,
                      LinkName(run->row->link), run->ending.c_str(), run->seconds);
        table += line;
    }
    std::fputs(table.c_str(), stdout);
    std::ofstream(std::string(QX_FAULT_MATRIX_DIR) + "/" + fileName) << table;

    for (const auto& run : runs) {
        SCOPED_TRACE(std::string(run->row->fault) + " on " + LinkName(run->row->link));
        EXPECT_EQ(run->ending, run->row->expected);
        EXPECT_NE(run->ending, "success") << "a faulty camera was reported as updated";
        EXPECT_FALSE(run->resetSeen) << "a half-written camera was told to restart";
        EXPECT_FALSE(run->fileTouched) << "the image file was written, moved or changed";
        EXPECT_FALSE(run->fileChanged) << "the image file changed";
    }
}

// Faults that strike early: each row costs seconds. Serial faults in the write phase strike at low
// block numbers; a whole serial download takes nine minutes.
const std::vector<FaultRow> kQuickRows = {
    {"refuse block 3", Link::Serial, {"--refuse-block", "3:5"}, "failed", 120},
    {"refuse erase command", Link::Serial, {"--refuse-command", "1e"}, "failed", 120},
    {"refuse status command", Link::Serial, {"--refuse-command", "7f"}, "not-found", 120},
    {"refuse update mode command", Link::Serial, {"--refuse-command", "8d"}, "not-found", 120},
    {"silent", Link::Serial, {"--silent"}, "not-found", 120},
    {"corrupt status check bytes", Link::Serial, {"--corrupt-status", "1000"}, "not-found", 120},
    {"status error byte E2", Link::Serial, {"--status-errors", "1000"}, "not-found", 120},
    {"wrong access reply", Link::Serial, {"--wrong-access-reply"}, "not-found", 120},
    {"drop at block 5", Link::Serial, {"--silent-from-block", "5"}, "failed", 120},
    {"speed switched elsewhere", Link::Serial, {"--speed-fault", "elsewhere"}, "not-found", 120},
    {"speed kept", Link::Serial, {"--speed-fault", "stay"}, "failed", 120},
    {"erase never completes", Link::Serial, {"--erase-never-completes"}, "failed", 120},
    {"unplugged after 20 s", Link::Serial, {}, "failed", 120, 20},
    {"refuse erase command", Link::Usb, {"--refuse-command", "1e"}, "failed", 120},
    {"refuse status command", Link::Usb, {"--refuse-command", "7f"}, "not-found", 120},
    {"corrupt status check bytes", Link::Usb, {"--corrupt-status", "1000"}, "not-found", 120},
    {"status error byte E2", Link::Usb, {"--status-errors", "1000"}, "not-found", 120},
    {"wrong access reply", Link::Usb, {"--wrong-access-reply"}, "failed", 120},
    {"erase never completes", Link::Usb, {"--erase-never-completes"}, "failed", 120},
};

// Faults that cost a limit by nature: USB silence waits out the 35 s request limit per attempt, busy
// bytes without end the 60 s busy bound, and USB write-phase faults come after the 16 erase commands.
const std::vector<FaultRow> kLongRows = {
    {"busy without end", Link::Serial, {"--busy", "0:ack:endless"}, "not-found", 400},
    {"busy without end", Link::Usb, {"--busy", "0:ack:endless"}, "not-found", 600},
    {"busy without end in erase", Link::Serial, {"--busy", "1e:completion:endless"}, "failed", 400},
    {"busy without end in erase", Link::Usb, {"--busy", "1e:completion:endless"}, "failed", 400},
    {"busy without end at checksum", Link::Usb, {"--busy", "21:completion:endless"}, "failed", 400},
    {"silent", Link::Usb, {"--silent"}, "not-found", 600},
    {"refuse block 3", Link::Usb, {"--refuse-block", "3:5"}, "failed", 300},
    {"drop at block 5", Link::Usb, {"--silent-from-block", "5"}, "failed", 300},
    {"checksum mismatch", Link::Usb, {"--checksum-mismatch"}, "failed", 300},
    {"unplugged after 60 s", Link::Usb, {}, "failed", 300, 60},
};

// Rows mostly wait for time-outs and pauses, so several run side by side.
TEST(FaultMatrix, QuickRows) {
    RunMatrix(kQuickRows, 4, "fault_matrix.txt");
}

TEST(FaultMatrix, LongRows) {
    RunMatrix(kLongRows, kLongRows.size(), "fault_matrix_long.txt");
}

}  // namespace
