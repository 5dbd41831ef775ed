// The update controller against a scripted user and the camera model in virtual time: which prompt
// follows which answer for every outcome and every kind of chosen file, what reaches the camera, the
// status line and version pauses, the progress notices, and that every loaded image is released.
#include "app/update_controller.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/download_status.h"
#include "app/firmware_image.h"
#include "common/clock.h"
#include "protocol/byte_codes.h"
#include "res/strings.h"
#include "sim/virtual_devices.h"
#include "tests/app/scripted_ui.h"

namespace {

using Calls = std::vector<std::string>;

const std::string kChoose = "choose [Firmware Files (*.fw )   |*.fw||  ] [*.fw ]";
const std::string kCancelled = "message 105 File selection was canceled !";
const std::string kWrongFile =
    "message 103 \nSelected file is wrong.\nTo select correct file, click Continue button.";
const std::string kSameVersion = "message 103 \nSelected firmware matches camera version.";
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

// Logs every clock wait among the UI's calls, so the version pauses show in order.
class RecordingClock final : public IClock {
  public:
    RecordingClock(VirtualClock& inner, Calls& log) : m_inner(inner), m_log(log) {}
    uint32_t ReadMs() override { return m_inner.ReadMs(); }
    uint32_t WaitMs(uint32_t durationMs) override {
        if (durationMs != 0) {
            m_log.push_back("wait " + std::to_string(durationMs));
        }
        return m_inner.WaitMs(durationMs);
    }

  private:
    VirtualClock& m_inner;
    Calls& m_log;
};

class RecordingInfoBar final : public IInfoBar {
  public:
    explicit RecordingInfoBar(ScriptedUi& ui) : m_ui(ui) {}
    void RepaintNow() override { m_ui.calls.push_back("status [" + m_ui.controller->StatusText() + "]"); }

  private:
    ScriptedUi& m_ui;
};

std::vector<uint8_t> MakeImage(const char* version, size_t length = FIRMWARE_IMAGE_SIZE,
                               const char* identification = IDENTIFICATION_QX410) {
    std::vector<uint8_t> image(length);
    for (size_t i = 0; i < length; ++i) {
        image[i] = static_cast<uint8_t>(i * 13 + 5);
    }
    if (length > 0) {  // an empty image has no storage to copy into
        std::memcpy(image.data(), identification,
                    std::min({std::strlen(identification), size_t{48}, length}));
    }
    if (length >= 65) {
        std::memcpy(image.data() + 61, version, 4);
    }
    return image;
}

enum class Camera { Serial, NotReady, BadChecksum, Unidentified };

class ControllerTest : public ::testing::Test {
  protected:
    ControllerTest() : clock(0), recording(clock, ui.calls), scoped(recording), devices(clock), infoBar(ui) {
        char pattern[] = "/tmp/qx_controller_test_XXXXXX";
        const char* made = ::mkdtemp(pattern);
        dir = made != nullptr ? made : "";
        controller = std::make_unique<CUpdateController>(devices);
        ui.controller = controller.get();
    }
    ~ControllerTest() override {
        controller.reset();
        [[maybe_unused]] const int ignored = std::system(("rm -rf '" + dir + "'").c_str());
    }

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
        if (kind == "cancel" || kind == "fail") {
            ui.fileAnswers.push_back(
                {kind == "fail" ? FileDialogResult::Failed : FileDialogResult::Cancelled, ""});
            return;
        }
        const std::string path = dir + "/" + std::to_string(ui.fileAnswers.size()) + ".fw";
        const bool named = kind == "/dev/zero" || kind.rfind("path", 0) == 0;  // "pathN": N characters
        ui.fileAnswers.push_back(
            {FileDialogResult::Chosen, kind == "/dev/zero" ? kind
                                       : named ? "/" + std::string(std::stoul(kind.substr(4)) - 1, 'p')
                                               : path});
        if (kind == "dir" || kind == "fifo") {
            EXPECT_EQ(kind == "dir" ? ::mkdir(path.c_str(), 0700) : ::mkfifo(path.c_str(), 0600), 0);
        }
        if (named || kind == "missing" || kind == "dir" || kind == "fifo") {
            return;
        }
        const bool sameVersion = kind == "x10a" || kind == "qx300" || kind == "byte48";
        const size_t length = kind == "size-1"   ? FIRMWARE_IMAGE_SIZE - 1
                              : kind == "size+1" ? FIRMWARE_IMAGE_SIZE + 1
                              : kind == "size60" ? 60
                              : kind == "size30" ? 30
                              : kind == "empty"  ? 0
                                                 : FIRMWARE_IMAGE_SIZE;
        std::vector<uint8_t> image = MakeImage(sameVersion ? "x10a" : "0123", length,
                                               kind == "qx300"      ? IDENTIFICATION_QX300
                                               : kind == "wrong-id" ? "Corva Lumen Precision QX999"
                                                                    : IDENTIFICATION_QX410);
        if (kind == "byte48" || kind == "zero@20" || kind == "diff@47" || kind == "case@0") {
            const size_t at = kind == "byte48" ? 48 : kind == "zero@20" ? 20 : kind == "diff@47" ? 47 : 0;
            image[at] = kind == "zero@20"  ? 0
                        : kind == "case@0" ? static_cast<uint8_t>(std::tolower(image[0]))
                                           : 'R';
        }
        FILE* file = std::fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        if (!image.empty()) {
            std::fwrite(image.data(), 1, image.size(), file);
        }
        std::fclose(file);
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
        controller->SetInfoBar(&infoBar);
        controller->SetStatus(STATUS_LINE_PORT_PROMPT);
        controller->RunUpdate(ui);
    }

    uint32_t Resets(const sim::CameraModel& camera) {
        return static_cast<uint32_t>(std::count_if(camera.Commands().begin(), camera.Commands().end(),
                                                   [](const auto& c) { return c.code == qx::CMD_RESET; }));
    }

    // Busy cursor balanced and never below zero, every loaded image released, no UI left in use.
    void ExpectEndedCleanly() {
        EXPECT_EQ(ui.busyDepth, 0);
        EXPECT_EQ(ui.busyLowest, 0);
        EXPECT_EQ(CountLiveFirmwareImages(), 0);
        EXPECT_EQ(controller->CurrentUi(), nullptr);
    }

    ScriptedUi ui;
    VirtualClock clock;
    RecordingClock recording;
    ScopedClock scoped;
    sim::VirtualDevices devices;
    RecordingInfoBar infoBar;
    std::string dir;
    std::string skip;
    std::unique_ptr<CUpdateController> controller;
};

// ---- Every outcome of the workflow ----

struct RunCase {
    const char* name;
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
    {"PathTooLongThenCancel", Camera::Serial, DIALOG_OK, {"path256"}, {DIALOG_CANCEL},
     {"port", kChoose, "beep simple", std::string("file-error ") + PATH_TOO_LONG_TEXT, kCancelled},
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

class WorkflowRun : public ControllerTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(WorkflowRun, PromptsCameraStatusLineAndNotices) {
    const RunCase& c = GetParam();
    sim::CameraModel& camera = Attach(c.camera);
    ui.portResult = c.portAnswer;
    for (const std::string& kind : c.files) {
        AnswerFileDialog(kind);
    }
    ui.messageAnswers.assign(c.answers.begin(), c.answers.end());
    Run();

    EXPECT_EQ(ui.Prompts(), c.prompts);
    EXPECT_EQ(controller->StatusText(), c.status);
    EXPECT_EQ(Resets(camera), c.resets);
    if (c.portAnswer != DIALOG_OK) {
        EXPECT_TRUE(devices.OpenAttempts().empty());
    }
    // Straight after the search: the three version pauses in order, then the camera on the status line;
    // a camera not identified blanks it at once.
    const size_t searched = std::find(ui.calls.begin(), ui.calls.end(), "busy off") - ui.calls.begin();
    const Calls afterSearch = c.status.empty()
                                  ? Calls{"status []"}
                                  : Calls{"wait 1000", "wait 1000", "wait 500", "status [" + kCamera + "]"};
    if (c.status.empty() || c.status == kCamera) {
        ASSERT_LT(searched + afterSearch.size(), ui.calls.size());
        EXPECT_EQ(Calls(&ui.calls[searched + 1], &ui.calls[searched + 1] + afterSearch.size()), afterSearch);
    }

    // Blocks and notices only when the download runs (the notices' pictures are the callback's, below).
    EXPECT_EQ(camera.BlocksWritten().empty(), !c.downloads);
    EXPECT_EQ(ui.notices.empty(), !c.downloads);
    ExpectEndedCleanly();
}

INSTANTIATE_TEST_SUITE_P(Outcomes, WorkflowRun, ::testing::ValuesIn(kRunCases),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- Every kind of chosen file, answered with Quit ----

struct FileCase {
    const char* kind;  // see AnswerFileDialog
    Calls verdict;     // what follows the file dialog
};

// clang-format off
const FileCase kFileCases[] = {
    {"missing", kReadError}, {"empty", kReadError}, {"unreadable", kReadError},
    // 255 characters fit the path buffer (the open then fails); 256 do not (PathTooLongThenCancel).
    {"path255", kReadError}, {"wrong-id", {kWrongFile}}, {"case@0", {kWrongFile}}, {"zero@20", {kWrongFile}},
    {"diff@47", {kWrongFile}}, {"size-1", {kWrongFile}}, {"size+1", {kWrongFile}}, {"size60", {kWrongFile}},
    {"size30", {kWrongFile}}, {"dir", {kWrongFile}}, {"fifo", {kWrongFile}}, {"/dev/zero", {kWrongFile}},
    {"sparse", {kWrongFile}}, {"qx300", {kSameVersion}},
    {"byte48", {kSameVersion}},  // only the first 48 characters are compared
};
// clang-format on

class FileRun : public ControllerTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(FileRun, GetsTheAnswerForItsKindAndQuitEndsTheSession) {
    sim::CameraModel& camera = Attach(Camera::Serial);
    AnswerFileDialog(GetParam().kind);
    if (!skip.empty()) {
        GTEST_SKIP() << skip;
    }
    ui.messageAnswers = {DIALOG_CANCEL};
    Run();
    Calls expected{"port", kChoose};
    expected.insert(expected.end(), GetParam().verdict.begin(), GetParam().verdict.end());
    EXPECT_EQ(ui.Prompts(), expected);
    EXPECT_EQ(Resets(camera), 1U);
    EXPECT_EQ(camera.EraseCommands(), 0U);
    ExpectEndedCleanly();
}

INSTANTIATE_TEST_SUITE_P(Files, FileRun, ::testing::ValuesIn(kFileCases), [](const auto& p) {
    std::string name;
    for (const char ch : std::string(p.param.kind)) {
        name += std::isalnum(ch) ? std::string(1, ch) : ch == '+' ? "Plus" : ch == '-' ? "Minus" : "_";
    }
    return name;
});

// ---- Pieces of the controller without a run ----

TEST_F(ControllerTest, StatusLineTexts) {
    struct {
        int16_t kind;
        int32_t known;
        const char* id;
        const char* version;
        std::string expected;
    } const cases[] = {
        {2, 1, "", "0:9Z", "Camera ID: ---    Firmware Version: :.9Z"},  // no name; a middle byte of 10
        {3, 1, "ABC", "010A", ""},
    };
    for (const auto& c : cases) {
        controller->m_bCameraKnown = c.known;
        std::memset(controller->m_cameraId, 0, sizeof controller->m_cameraId);
        std::strcpy(controller->m_cameraId, c.id);
        std::memcpy(controller->m_cameraVersion, c.version, 4);
        controller->SetStatus(c.kind);
        EXPECT_EQ(controller->StatusText(), c.expected) << c.kind << " " << c.version;
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
     {"open @0", "paint 0 0 Erasing data block ... @0", "paint 1 50 Erasing data block ... @0",
      "paint 3 37 Erasing data block failed. @0", "close @1000", "open @1000",
      "paint 0 0 Downloading firmware ... @1000", "paint 2 100 Downloading firmware completed. @1000",
      "close @2000", "end @2000"}},
    {"WithoutANoticeAndUnknownKindsNothingHappens", true, true,
     {{STATUS_PROGRESS, 10, 0}, {STATUS_COMPLETED, 100, 0}, {STATUS_START, 0, 0}, {7, 5, 0}},
     {"open @0", "paint 0 0 Downloading firmware ... @0", "end @0"}},
    {"NoNoticeMadeDownloadGoesOnUnseen", false, true,
     {{STATUS_START, 0, 0}, {STATUS_PROGRESS, 10, 0}, {STATUS_COMPLETED, 100, 0}},
     {"open @0", "end @0"}},
    {"UnpaintedFinalPictureIsNotHeld", true, false, {{STATUS_START, 0, 0}, {STATUS_FAILED, 12, 0}},
     {"open @0", "paint 0 0 Downloading firmware ... @0", "paint 3 12 Downloading firmware failed. @0",
      "close @0", "end @0"}},
    {"StartWhileOpenClosesTheOldNotice", true, true, {{STATUS_START, 0, 1}, {STATUS_START, 0, 0}},
     {"open @0", "paint 0 0 Erasing data block ... @0", "close @0", "open @0",
      "paint 0 0 Downloading firmware ... @0", "end @0"}},
    {"ValueIsSigned16Bits", true, true, {{STATUS_START, 0, 0}, {STATUS_PROGRESS, 0x10005, 0}, {1, 0xFFFF, 0}},
     {"open @0", "paint 0 0 Downloading firmware ... @0", "paint 1 5 Downloading firmware ... @0",
      "paint 1 -1 Downloading firmware ... @0", "end @0"}},
};
// clang-format on

class NoticeEvents : public ControllerTest, public ::testing::WithParamInterface<NoticeCase> {};

TEST_P(NoticeEvents, OpenPaintHoldAndClose) {
    const NoticeCase& c = GetParam();
    controller->m_pUi = &ui;  // as inside RunUpdate
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
