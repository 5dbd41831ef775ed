// The camera's faults against the whole update, end to end: for every fault switch of the simulator
// program, on the serial link (a pseudo-terminal published as COM3) and on the USB driver socket, the
// real update controller runs with a scripted user who picks the right port, chooses a good image and
// presses Continue. Whatever the camera does, the update must end with the failure or the not-found
// message within a bounded time, without a crash or a restart of the camera, and with the image file
// neither changed nor opened for writing. Each row runs the controller in a child process beside its
// own simulator, several rows at a time; the table goes to fault_matrix[_long].txt in the build tree.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/firmware_image.h"
#include "app/update_controller.h"
#include "platform/devices.h"
#include "res/strings.h"
#include "tests/app/scripted_ui.h"
#include "tests/e2e/e2e_support.h"

namespace {

enum class Link { Serial, Usb };

struct FaultRow {
    const char* fault;
    Link link;
    std::vector<std::string> switches;  // the simulator's fault switches
    const char* expected;               // "failed" or "not-found"
    int boundSeconds;                   // the update must be over by then
    int unplugAfterSeconds = 0;         // non-zero: the simulator is stopped then
};

std::string RowName(const FaultRow& row) {
    return std::string(row.fault) + " on " + (row.link == Link::Serial ? "serial" : "usb");
}

bool DescriptorOpenOn(const std::string& path) {
    std::error_code error;
    return std::ranges::any_of(std::filesystem::directory_iterator("/proc/self/fd", error),
                               [&](const auto& fd) {
                                   std::error_code ignored;
                                   return std::filesystem::read_symlink(fd.path(), ignored) == path;
                               });
}

// What the scripted user saw last: "success", "failed", "not-found", or the last prompt for anything
// else; a descriptor left open on the image is reported as "image-left-open".
std::string ClassifyEnding(const ScriptedUi& ui, const std::string& imagePath) {
    const std::vector<std::string> prompts = ui.Prompts();
    const std::string last = prompts.empty() ? "nothing" : prompts.back();
    const std::string failed = "message 1538 " + std::string(res::LoadString(res::IDS_UPDATE_FAILED));
    const std::string notFound = "message 1539 " + std::string(res::LoadString(res::IDS_NOT_FOUND));
    return DescriptorOpenOn(imagePath)        ? "image-left-open"
           : last == failed                   ? "failed"
           : last == notFound                 ? "not-found"
           : last.starts_with("message 104 ") ? "success"
                                              : "other: " + last;
}

// The child: one whole update as the user runs it; its ending goes to endingPath.
[[noreturn]] void RunUpdateInChild(const FaultRow& row, const std::string& imagePath,
                                   const std::string& endingPath) {
    CUpdateController controller(platform::SystemDevices());
    ScriptedUi ui;
    ui.controller = &controller;
    ui.portChoice = row.link == Link::Serial ? int16_t{3} : PORT_USB;
    ui.fileAnswers.push_back({FileDialogResult::Chosen, imagePath});
    ui.messageAnswers = {DIALOG_OK, DIALOG_OK, DIALOG_OK};  // Continue, a few times at most
    controller.SetStatus(STATUS_LINE_PORT_PROMPT);
    controller.RunUpdate(ui);
    std::ofstream(endingPath) << ClassifyEnding(ui, imagePath);
    _exit(0);
}

using Steady = std::chrono::steady_clock;

// One row in flight: its runtime directory with the simulator and the image, the child that runs the
// update, and what was seen when it ended. The destructor leaves no process behind.
struct RowRun {
    explicit RowRun(const FaultRow& faultRow) : row(faultRow) {}
    ~RowRun() {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        close(watch);
        sim.Stop();
        e2e::RemoveRuntimeDir(dir);
    }
    double Elapsed() const { return std::chrono::duration<double>(Steady::now() - start).count(); }

    const FaultRow& row;
    std::string dir = e2e::MakePrivateRuntimeDir();  // also XDG_RUNTIME_DIR for the simulator and child
    std::string imagePath = dir + "/update.fw";
    std::vector<uint8_t> image;
    int watch = -1;
    e2e::SimProcess sim;
    pid_t child = -1;
    Steady::time_point start;
    std::string ending;
    double seconds = 0;
};

// A read-only image right for the camera (version 2.10: no same-version prompt) watched for writes, the
// simulator, and the child; returns what went wrong, "" when the row runs.
std::string StartRow(RowRun& run) {
    const bool serial = run.row.link == Link::Serial;
    if (run.dir.empty() || mkdir((run.dir + "/qx410fw").c_str(), 0700) != 0 ||
        !e2e::PointNowhere(run.dir + "/qx410fw", serial ? 3 : 0)) {
        return "cannot make the runtime directory";
    }
    run.image = e2e::MakePayload(410, FIRMWARE_IMAGE_SIZE);
    std::memcpy(run.image.data(), IDENTIFICATION_QX410, 48);
    std::memcpy(run.image.data() + VERSION_OFFSET, "x210", VERSION_LENGTH);
    std::ofstream(run.imagePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(run.image.data()),
               static_cast<std::streamsize>(run.image.size()));
    chmod(run.imagePath.c_str(), 0444);
    run.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_add_watch(run.watch, run.imagePath.c_str(),
                          IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF) < 0) {
        return "cannot watch the image";
    }
    std::vector<std::string> arguments = {serial ? "--serial" : "--usb", serial ? "3" : "1"};
    arguments.insert(arguments.end(), run.row.switches.begin(), run.row.switches.end());
    if (std::string error = e2e::StartIn(run.sim, run.dir, arguments, serial ? "COM3" : "QX410U-001");
        !error.empty()) {
        return error;
    }
    std::fflush(nullptr);
    run.start = Steady::now();
    run.child = fork();
    if (run.child == 0) {
        RunUpdateInChild(run.row, run.imagePath, run.dir + "/ending.txt");
    }
    return run.child < 0 ? "cannot fork" : "";
}

// True once the row is over (the child ended, crashed or was killed at the bound); then checks its
// ending and what the camera and the image file went through.
bool ServiceRow(RowRun& run) {
    const FaultRow& row = run.row;
    const double elapsed = run.Elapsed();
    if (row.unplugAfterSeconds != 0 && elapsed >= row.unplugAfterSeconds) {
        run.sim.Stop();
    }
    int status = 0;
    if (elapsed > row.boundSeconds) {
        kill(run.child, SIGKILL);
        waitpid(run.child, &status, 0);
        run.ending = "hang";
    } else if (waitpid(run.child, &status, WNOHANG) != run.child) {
        return false;
    } else if (WIFSIGNALED(status)) {
        run.ending = "crash (signal " + std::to_string(WTERMSIG(status)) + ")";
    } else {
        const std::vector<uint8_t> report = e2e::ReadFile(run.dir + "/ending.txt");
        run.ending = report.empty() ? "no report" : std::string(report.begin(), report.end());
    }
    run.child = -1;
    run.seconds = run.Elapsed();
    const e2e::SimSummary summary = run.sim.Stop();
    char events[4096];
    SCOPED_TRACE(RowName(row));
    EXPECT_EQ(run.ending, row.expected);
    EXPECT_NE(run.ending, "success") << "a faulty camera was reported as updated";
    EXPECT_FALSE(summary.valid && summary.Value("reset") != "no")
        << "a half-written camera was told to restart";
    EXPECT_FALSE(read(run.watch, events, sizeof events) > 0)
        << "the image file was written, moved or changed";
    EXPECT_TRUE(e2e::ReadFile(run.imagePath) == run.image) << "the image file changed";
    return true;
}

// Runs the rows, up to `parallel` at a time (they mostly wait), then prints the table and writes it.
void RunMatrix(const std::vector<FaultRow>& rows, size_t parallel, const char* fileName) {
    std::vector<std::unique_ptr<RowRun>> runs;
    std::vector<RowRun*> active;
    while (runs.size() < rows.size() || !active.empty()) {
        while (active.size() < parallel && runs.size() < rows.size()) {
            RowRun& run = *runs.emplace_back(std::make_unique<RowRun>(rows[runs.size()]));
            ASSERT_EQ(StartRow(run), "") << RowName(run.row);
            active.push_back(&run);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::erase_if(active, [](RowRun* run) { return ServiceRow(*run); });
    }

    std::string table = "fault on link                         outcome     seconds\n";
    for (const auto& run : runs) {
        char line[160];
        std::snprintf(line, sizeof line, "%-37s %-11s %7.1f\n", RowName(run->row).c_str(),
                      run->ending.c_str(), run->seconds);
        table += line;
    }
    std::fputs(table.c_str(), stdout);
    std::ofstream(std::string(QX_FAULT_MATRIX_DIR) + "/" + fileName) << table;
}

// Faults that strike early (serial write-phase faults at low block numbers): each row costs seconds.
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

// Faults that cost a limit: the 35 s USB request limit per attempt, the 60 s busy bound, the 16 USB
// erase commands before the write phase.
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

TEST(FaultMatrix, QuickRows) {
    RunMatrix(kQuickRows, 4, "fault_matrix.txt");
}

TEST(FaultMatrix, LongRows) {
    RunMatrix(kLongRows, kLongRows.size(), "fault_matrix_long.txt");
}

}  // namespace
