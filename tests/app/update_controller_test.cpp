// The update controller against a scripted user and the camera model in virtual time: which prompt
// follows which answer for every outcome and every kind of chosen file, what reaches the camera, the
// status line and version pauses, the progress notices, and that every loaded image is released.
#include "app/update_controller.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "app/download_status.h"
#include "app/firmware_image.h"
#include "common/clock.h"
#include "res/strings.h"
#include "sim/virtual_devices.h"
#include "tests/app/scripted_ui.h"
#include "wire/byte_codes.h"

namespace {

using Calls = std::vector<std::string>;

const std::string kChoose = "choose [Firmware Files (*.fw )   |*.fw||  ] [*.fw ]";
const std::string kCancelled = "message 105 File selection was canceled !";
const std::string kWrongFile =
    "message 103 wrong-file \nSelected file is wrong.\nTo select correct file, click Continue button.";
const std::string kSameVersion = "message 103 version-matches \nSelected firmware matches camera version.";
const std::string kNotFound =
    "message 1539 Camera can not be found.\nPlease exit, and turn off the camera.\nThen turn it back on, and "
    "verify that it is properly connected.";
const std::string kFailed =
    "message 1538 Camera update failed. Quit and follow the\nRETRY PROCEDURE in the ReadMe file. ";
const Calls kReadError = {"beep simple", "file-error File open or read error!"};
const std::string kPortPrompt = "Select the communication port. ";
const std::string kSearching = "Searching for Corva QX410 Zoom Digital Camera ...";
const std::string kCamera = "Camera ID: ABC     Firmware Version: 1.0A";
std::string Success(const char* version) {
    return std::string("message 104 Firmware ") + version +
           " was successfully installed in your Corva QX410 Zoom Digital Camera !";
}

enum class Camera { Serial, NotReady, BadChecksum, Unidentified };

// The fixture is also the clock, logging every wait among the UI's calls so the version pauses show in
// order, and the status bar, logging every repaint with its text.
// The controller with the state a run leaves behind set directly, for its pieces tested without a run.
class TestController : public CUpdateController {
  public:
    using CUpdateController::CUpdateController;
    void SetRunningUi(IUpdateUi* ui) { m_pUi = ui; }
    void SetCamera(const char* id, const char version[4]) {
        m_bCameraKnown = 1;
        std::memset(m_cameraId, 0, sizeof m_cameraId);
        std::strcpy(m_cameraId, id);
        std::memcpy(m_cameraVersion, version, 4);
    }
};

class ControllerTest : public ::testing::Test, public IClock, public IInfoBar {
  protected:
    ControllerTest() : scoped(*this), controller(std::make_unique<TestController>(devices)) {
        char pattern[] = "/tmp/qx_controller_test_XXXXXX";
        dir = ::mkdtemp(pattern) != nullptr ? pattern : "";
        ui.controller = controller.get();
    }
    ~ControllerTest() override {
        controller.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    uint32_t ReadMs() override { return clock.ReadMs(); }
    uint32_t WaitMs(uint32_t durationMs) override {
        if (durationMs != 0) {
            ui.calls.push_back("wait " + std::to_string(durationMs));
        }
        return clock.WaitMs(durationMs);
    }
    void RepaintNow() override { ui.calls.push_back("status [" + controller->StatusText() + "]"); }

    // A camera named ABC with version 1.0A (version bytes 0, 1, 0, 10).
    sim::CameraModel& Attach(Camera kind) {
        sim::CameraConfig config;
        config.versionMajor = 1;
        config.versionMinor = 0x0A;
        config.name = std::string("ABC\0", 4);
        config.state = kind == Camera::NotReady ? 5 : 6;
        config.faults.checksumAlwaysMismatch = kind == Camera::BadChecksum;
        if (kind == Camera::Unidentified) {
            config.startUnlocked = true;  // answers the access string at once: found, not identified
            config.versionMajor = 0;      // 0.0.5.0: old enough for the reply the session expects before
            config.versionMinor = 0x50;   // it knows the version
        }
        ui.portChoice = 1;
        return devices.AttachSerialCamera("COM1", config);
    }

    // One answer of the file dialog: "cancel", "fail", or a file of the named kind (see kFileCases). Sets
    // skip when the machine cannot make that kind.
    void AnswerFileDialog(const std::string& kind) {
        const std::string path = dir + "/" + std::to_string(ui.fileAnswers.size()) + ".fw";
        const bool named = kind == "/dev/zero" || kind.rfind("path", 0) == 0;  // "pathN": N characters
        const auto result = kind == "cancel" ? FileDialogResult::Cancelled
                            : kind == "fail" ? FileDialogResult::Failed
                                             : FileDialogResult::Chosen;
        ui.fileAnswers.push_back({result, result != FileDialogResult::Chosen ? ""
                                          : kind == "/dev/zero"              ? kind
                                          : named ? "/" + std::string(std::stoul(kind.substr(4)) - 1, 'p')
                                                  : path});
        if (kind == "dir" || kind == "fifo") {
            EXPECT_EQ(kind == "dir" ? ::mkdir(path.c_str(), 0700) : ::mkfifo(path.c_str(), 0600), 0);
        }
        if (named || result != FileDialogResult::Chosen || kind == "missing" || kind == "dir" ||
            kind == "fifo") {
            return;
        }
        const std::map<std::string, size_t> lengths = {{"size-1", FIRMWARE_IMAGE_SIZE - 1},
                                                       {"size+1", FIRMWARE_IMAGE_SIZE + 1},
                                                       {"size60", 60},
                                                       {"size30", 30},
                                                       {"empty", 0}};
        std::vector<uint8_t> image(lengths.contains(kind) ? lengths.at(kind) : FIRMWARE_IMAGE_SIZE);
        for (size_t i = 0; i < image.size(); ++i) {
            image[i] = static_cast<uint8_t>(i * 13 + 5);
        }
        const std::string id = kind == "qx300"      ? IDENTIFICATION_QX300
                               : kind == "wrong-id" ? "Corva Lumen Precision QX999"
                                                    : IDENTIFICATION_QX410;
        std::copy_n(id.begin(), std::min({id.size(), size_t{48}, image.size()}), image.begin());
        if (image.size() >= 65) {  // the version: the camera's own for these kinds
            const bool same = kind == "x10a" || kind == "qx300" || kind == "byte48";
            std::memcpy(image.data() + 61, same ? "x10a" : "0123", 4);
        }
        const std::map<std::string, std::pair<size_t, uint8_t>> patches = {
            {"byte48", {48, 'R'}}, {"zero@20", {20, 0}}, {"diff@47", {47, 'R'}}, {"case@0", {0, 'c'}}};
        if (patches.contains(kind)) {
            image[patches.at(kind).first] = patches.at(kind).second;
        }
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        if (kind == "unreadable") {
            ::chmod(path.c_str(), 0);
            skip = ::geteuid() == 0 ? "root reads files whatever their permissions" : "";
        }
        // 4 GiB + the image length: cut to 32 bits it would read as exactly the image length.
        if (kind == "sparse" && ::truncate(path.c_str(), (off_t{1} << 32) + FIRMWARE_IMAGE_SIZE) != 0) {
            skip = "the filesystem refuses a sparse file beyond 4 GiB";
        }
    }

    // Runs the update once, the controller wired up as the shell does it.
    void Run() {
        ASSERT_EQ(g_pController, controller.get());
        controller->SetInfoBar(this);
        controller->SetStatus(STATUS_LINE_PORT_PROMPT);
        controller->RunUpdate(ui);
    }

    // So many resets reached the camera; busy cursor balanced and never below zero, every loaded image
    // released, no UI left in use.
    void ExpectEndedCleanly(const sim::CameraModel& camera, uint32_t resets) {
        EXPECT_EQ(std::count_if(camera.Commands().begin(), camera.Commands().end(),
                                [](const auto& c) { return c.code == 0xAE; }),
                  resets);
        EXPECT_EQ(std::pair(ui.busyDepth, ui.busyLowest), std::pair(0, 0));
        EXPECT_EQ(CountLiveFirmwareImages(), 0);
        EXPECT_EQ(controller->CurrentUi(), nullptr);
    }

    ScriptedUi ui;
    VirtualClock clock{0};
    ScopedClock scoped;
    sim::VirtualDevices devices{clock};
    std::string dir;
    std::string skip;
    std::unique_ptr<TestController> controller;
};

// ---- Every outcome of the workflow, and every kind of chosen file ----

struct RunCase {
    std::string name;
    Camera camera;
    int portAnswer;
    Calls files;               // answers of the file dialog, see AnswerFileDialog
    std::vector<int> answers;  // answers of the message dialogs, in order
    Calls prompts;
    std::string status;  // the status line at the end
    uint32_t resets;     // reset commands the camera received (EndSession or the end of the download)
    bool downloads = false;
};

// clang-format off
const RunCase kRunCases[] = {
    {"PortQuit", Camera::Serial, DIALOG_CANCEL, {}, {}, {"port"}, kPortPrompt, 0},
    {"NotFound", Camera::NotReady, DIALOG_OK, {}, {}, {"port", kNotFound}, kSearching, 0},
    {"CancelContinueUntilQuit", Camera::Serial, DIALOG_OK, {"cancel", "cancel", "cancel"},
     {DIALOG_OK, DIALOG_OK, DIALOG_CANCEL},
     {"port", kChoose, kCancelled, kChoose, kCancelled, kChoose, kCancelled}, kCamera, 1},
    {"FileDialogFails", Camera::Serial, DIALOG_OK, {"fail"}, {},
     {"port", kChoose, "beep simple", "file-error File not found error!"}, kCamera, 1},
    // One message for a path too long, then the file dialog again.
    {"PathTooLongThenChooseAgain", Camera::Serial, DIALOG_OK, {"path256", "cancel"}, {DIALOG_CANCEL},
     {"port", kChoose, "beep simple", std::string("file-error ") + PATH_TOO_LONG_TEXT, kChoose, kCancelled},
     kCamera, 1},
    {"WrongFileThenContinue", Camera::Serial, DIALOG_OK, {"size-1", "0123"}, {DIALOG_OK},
     {"port", kChoose, kWrongFile, kChoose, "beep ok", Success("1.23")}, kCamera, 1, true},
    // A failed download sends no reset.
    {"DownloadFails", Camera::BadChecksum, DIALOG_OK, {"0123"}, {},
     {"port", kChoose, kFailed}, kCamera, 0, true},
    {"SameVersionQuit", Camera::Serial, DIALOG_OK, {"x10a"}, {DIALOG_CANCEL},
     {"port", kChoose, kSameVersion}, kCamera, 1},
    {"SameVersionContinueShowsFoldedVersion", Camera::Serial, DIALOG_OK, {"x10a"}, {DIALOG_OK},
     {"port", kChoose, kSameVersion, "beep ok", Success("1.0A")}, kCamera, 1, true},
    // Found but not identified: blank status line, no version prompt, the version as stored.
    {"NotIdentified", Camera::Unidentified, DIALOG_OK, {"x10a"}, {},
     {"port", kChoose, "beep ok", Success("1.0a")}, "", 1, true},
};
// clang-format on

// Every kind of chosen file, answered with Quit, makes a run of its own.

struct FileCase {
    const char* kind;  // see AnswerFileDialog
    Calls verdict;     // what follows the file dialog
};

// clang-format off
const FileCase kFileCases[] = {
    {"missing", kReadError}, {"empty", kReadError}, {"unreadable", kReadError},
    // 255 characters fit the path buffer (the open then fails); 256 do not (PathTooLongThenChooseAgain).
    {"path255", kReadError}, {"wrong-id", {kWrongFile}}, {"case@0", {kWrongFile}}, {"zero@20", {kWrongFile}},
    {"diff@47", {kWrongFile}}, {"size-1", {kWrongFile}}, {"size+1", {kWrongFile}}, {"size60", {kWrongFile}},
    {"size30", {kWrongFile}}, {"dir", {kWrongFile}}, {"fifo", {kWrongFile}}, {"/dev/zero", {kWrongFile}},
    {"sparse", {kWrongFile}}, {"qx300", {kSameVersion}},
    {"byte48", {kSameVersion}},  // only the first 48 characters are compared
};
// clang-format on

std::vector<RunCase> AllRuns() {
    std::vector<RunCase> runs(std::begin(kRunCases), std::end(kRunCases));
    for (const FileCase& f : kFileCases) {
        std::string name = "File";
        for (const char ch : std::string(f.kind)) {
            name += std::isalnum(ch) ? std::string(1, ch) : ch == '+' ? "Plus" : ch == '-' ? "Minus" : "_";
        }
        Calls prompts{"port", kChoose};
        prompts.insert(prompts.end(), f.verdict.begin(), f.verdict.end());
        runs.push_back({name, Camera::Serial, DIALOG_OK, {f.kind}, {DIALOG_CANCEL}, prompts, kCamera, 1});
    }
    return runs;
}

class WorkflowRun : public ControllerTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(WorkflowRun, PromptsCameraStatusLineAndNotices) {
    const RunCase& c = GetParam();
    sim::CameraModel& camera = Attach(c.camera);
    ui.portResult = c.portAnswer;
    for (const std::string& kind : c.files) {
        AnswerFileDialog(kind);
    }
    if (!skip.empty()) {
        GTEST_SKIP() << skip;
    }
    ui.messageAnswers.assign(c.answers.begin(), c.answers.end());
    Run();

    EXPECT_EQ(ui.Prompts(), c.prompts);
    EXPECT_EQ(controller->StatusText(), c.status);
    if (c.portAnswer != DIALOG_OK) {
        EXPECT_TRUE(devices.OpenAttempts().empty());
    }
    // Straight after the search: the three version pauses in order, then the camera on the status line;
    // a camera not identified blanks it at once.
    if (c.status.empty() || c.status == kCamera) {
        const Calls after = c.status.empty()
                                ? Calls{"status []"}
                                : Calls{"wait 1000", "wait 1000", "wait 500", "status [" + kCamera + "]"};
        const auto searched = std::find(ui.calls.begin(), ui.calls.end(), "busy off");
        ASSERT_GT(ui.calls.end() - searched, std::ssize(after));
        EXPECT_EQ(Calls(searched + 1, searched + 1 + std::ssize(after)), after);
    }

    // Blocks and notices only when the download runs (the notices' pictures are the callback's, below).
    EXPECT_EQ(camera.BlocksWritten().empty(), !c.downloads);
    EXPECT_EQ(camera.EraseCommands() == 0, !c.downloads);
    EXPECT_EQ(ui.notices.empty(), !c.downloads);
    ExpectEndedCleanly(camera, c.resets);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, WorkflowRun, ::testing::ValuesIn(AllRuns()),
                         [](const auto& p) { return p.param.name; });

// ---- Pieces of the controller without a run ----

TEST_F(ControllerTest, StatusLineTexts) {
    const std::tuple<int16_t, const char*, const char*, std::string> cases[] = {
        {2, "", "0:9Z", "Camera ID: ---    Firmware Version: :.9Z"},  // no name; a middle byte of 10
        {3, "ABC", "010A", ""},
    };
    for (const auto& [kind, id, version, expected] : cases) {
        controller->SetCamera(id, version);
        controller->SetStatus(kind);
        EXPECT_EQ(controller->StatusText(), expected) << kind << " " << version;
    }
}

// Dialogs are centred and clamped at 0 (the widgets' tests); notices sit at the bottom right, unclamped.
TEST(WindowPlacement, NoticesSitBottomRightEvenOffTheView) {
    const WindowPosition inside = ComputeNoticePosition({100, 50, 900, 650}, 301, 201);
    const WindowPosition outside = ComputeNoticePosition({0, 0, 5, 5}, 7, 7);
    EXPECT_EQ(std::pair(inside.x, inside.y), std::pair(489, 399));  // only the size of the reference counts
    EXPECT_EQ(std::pair(outside.x, outside.y), std::pair(-12, -2));
}

// ---- The download status callback ----

struct NoticeCase {
    const char* name;
    bool opens, paints;                          // whether the UI can make and paint a notice
    std::vector<std::array<int32_t, 3>> events;  // kind, value, phase
    Calls expected;
};

// clang-format off
const NoticeCase kNoticeCases[] = {
    {"EachPhaseGetsItsOwnNoticeHeldOneSecond", true, true,
     {{STATUS_START, 0, 1}, {STATUS_PROGRESS, 50, 1}, {STATUS_FAILED, 37, 1}, {STATUS_START, 0, 0},
      {STATUS_COMPLETED, 100, 0}},
     {"open erase @0", "paint 0 0 Erasing data block ... @0", "paint 1 50 Erasing data block ... @0",
      "paint 3 37 Erasing data block failed. @0", "close @1000", "open download @1000",
      "paint 0 0 Downloading firmware ... @1000", "paint 2 100 Downloading firmware completed. @1000",
      "close @2000", "end @2000"}},
    {"WithoutANoticeAndUnknownKindsNothingHappens", true, true,
     {{STATUS_PROGRESS, 10, 0}, {STATUS_COMPLETED, 100, 0}, {STATUS_START, 0, 0}, {7, 5, 0}},
     {"open download @0", "paint 0 0 Downloading firmware ... @0", "end @0"}},
    {"NoNoticeMadeDownloadGoesOnUnseen", false, true,
     {{STATUS_START, 0, 0}, {STATUS_PROGRESS, 10, 0}, {STATUS_COMPLETED, 100, 0}},
     {"open download @0", "end @0"}},
    {"UnpaintedFinalPictureIsNotHeld", true, false, {{STATUS_START, 0, 0}, {STATUS_FAILED, 12, 0}},
     {"open download @0", "paint 0 0 Downloading firmware ... @0", "paint 3 12 Downloading firmware failed. @0",
      "close @0", "end @0"}},
    {"StartWhileOpenClosesTheOldNotice", true, true, {{STATUS_START, 0, 1}, {STATUS_START, 0, 0}},
     {"open erase @0", "paint 0 0 Erasing data block ... @0", "close @0", "open download @0",
      "paint 0 0 Downloading firmware ... @0", "end @0"}},
    {"ValueIsSigned16Bits", true, true, {{STATUS_START, 0, 0}, {STATUS_PROGRESS, 0x10005, 0}, {1, 0xFFFF, 0}},
     {"open download @0", "paint 0 0 Downloading firmware ... @0", "paint 1 5 Downloading firmware ... @0",
      "paint 1 -1 Downloading firmware ... @0", "end @0"}},
};
// clang-format on

class NoticeEvents : public ControllerTest, public ::testing::WithParamInterface<NoticeCase> {};

TEST_P(NoticeEvents, OpenPaintHoldAndClose) {
    const NoticeCase& c = GetParam();
    controller->SetRunningUi(&ui);  // as inside RunUpdate
    ui.noticeOpens = c.opens;
    ui.noticePaints = c.paints;
    for (const auto& [kind, value, phase] : c.events) {
        EXPECT_EQ(ReportDownloadStatus(static_cast<uint32_t>(kind), value, phase), 1);
    }
    Calls events;
    for (const auto& n : ui.notices) {
        const std::string paint = " " + std::to_string(n.kind) + " " + std::to_string(n.value) + " " + n.text;
        events.push_back(n.what + (n.what == "paint" ? paint : "") + " @" + std::to_string(n.timeMs));
    }
    events.push_back("end @" + std::to_string(clock.ReadMs()));
    EXPECT_EQ(events, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Sequences, NoticeEvents, ::testing::ValuesIn(kNoticeCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(NoticeWithoutController, AnswersOneAndDoesNothing) {
    ASSERT_EQ(g_pController, nullptr);
    EXPECT_EQ(ReportDownloadStatus(STATUS_START, 0, 0), 1);
    EXPECT_EQ(ReportDownloadStatus(STATUS_COMPLETED, 100, 0), 1);
}

}  // namespace
