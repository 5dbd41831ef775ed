// The update controller's decision sequence against a scripted user interface and the camera model in
// virtual time: which prompt follows which answer, what reaches the camera, the status line, the
// version pauses, the progress notice events, and that every loaded image is released.
#include "app/update_controller.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
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

const std::string kChoose = "choose [Firmware Files (*.fw )   |*.fw||  ] [*.fw ]";
const std::string kCancelled = "message 105 File selection was canceled !";
const std::string kWrongFile =
    "message 103 \nSelected file is wrong.\nTo select correct file, click Continue button.";
const std::string kSameVersion = "message 103 \nSelected firmware matches camera version.";
const std::string kNotFound = std::string("message 1539 ") + res::LoadString(res::IDS_NOT_FOUND);
const std::string kFailed = std::string("message 1538 ") + res::LoadString(res::IDS_UPDATE_FAILED);
std::string Success(const char* version) {
    return std::string("message 104 Firmware ") + version +
           " was successfully installed in your Corva QX410 Zoom Digital Camera !";
}

// Records every clock wait into the UI's call list, so the version pauses show in order among the
// other calls. Reads and advances the virtual clock the devices use.
class RecordingClock final : public IClock {
  public:
    RecordingClock(VirtualClock& inner, std::vector<std::string>& log) : m_inner(inner), m_log(log) {}
    uint32_t ReadMs() override { return m_inner.ReadMs(); }
    uint32_t WaitMs(uint32_t durationMs) override {
        if (durationMs != 0) {
            m_log.push_back("wait " + std::to_string(durationMs));
        }
        return m_inner.WaitMs(durationMs);
    }

  private:
    VirtualClock& m_inner;
    std::vector<std::string>& m_log;
};

class RecordingInfoBar final : public IInfoBar {
  public:
    RecordingInfoBar(std::vector<std::string>& log) : m_log(log) {}
    CUpdateController* controller = nullptr;
    void RepaintNow() override { m_log.push_back("status [" + controller->StatusText() + "]"); }

  private:
    std::vector<std::string>& m_log;
};

std::vector<uint8_t> MakeImage(const char* version, size_t length = FIRMWARE_IMAGE_SIZE,
                               const char* identification = IDENTIFICATION_QX410) {
    std::vector<uint8_t> image(length);
    for (size_t i = 0; i < length; ++i) {
        image[i] = static_cast<uint8_t>(i * 13 + 5);
    }
    std::memcpy(image.data(), identification, std::min({std::strlen(identification), size_t{48}, length}));
    if (length >= 65) {
        std::memcpy(image.data() + 61, version, 4);
    }
    return image;
}

class ControllerTest : public ::testing::Test {
  protected:
    ControllerTest()
        : clock(0), recording(clock, ui.calls), scoped(recording), devices(clock), infoBar(ui.calls) {
        char pattern[] = "/tmp/qx_controller_test_XXXXXX";
        const char* made = ::mkdtemp(pattern);
        dir = made != nullptr ? made : "";
    }
    ~ControllerTest() override {
        controller.reset();
        const std::string command = "rm -rf '" + dir + "'";
        [[maybe_unused]] const int ignored = std::system(command.c_str());
    }

    // Camera version 1.0A (version bytes 0, 1, 0, 10) named ABC.
    sim::CameraConfig CameraConfig() {
        sim::CameraConfig config;
        config.versionMajor = 1;
        config.versionMinor = 0x0A;
        config.name = std::string("ABC\0", 4);
        return config;
    }

    std::string WriteImageFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = dir + "/" + name;
        FILE* file = std::fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        if (file != nullptr) {
            std::fwrite(bytes.data(), 1, bytes.size(), file);
            std::fclose(file);
        }
        return path;
    }

    void Choose(const std::string& path) { ui.fileAnswers.push_back({FileDialogResult::Chosen, path}); }

    // Builds the controller as the shell does and runs the update once.
    void Run() {
        controller = std::make_unique<CUpdateController>(devices);
        ASSERT_EQ(g_pController, controller.get());
        infoBar.controller = controller.get();
        controller->SetInfoBar(&infoBar);
        controller->SetStatus(STATUS_LINE_PORT_PROMPT);
        ui.controller = controller.get();
        controller->RunUpdate(ui);
    }

    uint32_t CommandCount(sim::CameraModel& camera, uint8_t code) {
        uint32_t count = 0;
        for (const sim::CommandRecord& command : camera.Commands()) {
            count += command.code == code ? 1U : 0U;
        }
        return count;
    }

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
    std::unique_ptr<CUpdateController> controller;
};

TEST_F(ControllerTest, PortQuitEndsWithoutTouchingAnyDevice) {
    ui.portResult = DIALOG_CANCEL;
    Run();
    EXPECT_EQ(ui.Prompts(), std::vector<std::string>{"port"});
    EXPECT_TRUE(devices.OpenAttempts().empty());
    EXPECT_EQ(controller->StatusText(), "Select the communication port. ");
    ExpectEndedCleanly();
}

TEST_F(ControllerTest, SearchFailureShowsNotFoundAndSendsNoReset) {
    sim::CameraConfig config = CameraConfig();
    config.state = 5;  // not ready: the search gives up
    sim::CameraModel& camera = devices.AttachSerialCamera("COM1", config);
    ui.portChoice = 1;
    Run();
    EXPECT_EQ(ui.Prompts(), (std::vector<std::string>{"port", kNotFound}));
    EXPECT_EQ(CommandCount(camera, qx::CMD_RESET), 0U);
    EXPECT_EQ(controller->StatusText(), "Searching for Corva QX410 Zoom Digital Camera ...");
    ExpectEndedCleanly();
}

TEST_F(ControllerTest, StatusLineShowsTheCameraAfterThreeVersionPauses) {
    devices.AttachSerialCamera("COM1", CameraConfig());
    ui.portChoice = 1;
    Run();  // the file dialog is cancelled and the cancel prompt quits
    const std::string status = "status [Camera ID: ABC     Firmware Version: 1.0A]";
    auto at = std::find(ui.calls.begin(), ui.calls.end(), status);
    ASSERT_NE(at, ui.calls.end());
    // Between the end of the search and the status line: exactly the three pauses, in order.
    const std::vector<std::string> before(at - 4, at);
    EXPECT_EQ(before, (std::vector<std::string>{"busy off", "wait 1000", "wait 1000", "wait 500"}));
    EXPECT_EQ(std::string(controller->m_cameraVersion, 4), "010A");
    EXPECT_EQ(controller->m_bCameraKnown, 1);
}

TEST_F(ControllerTest, CancelThenContinueLoopsAndCancelThenQuitEndsTheSession) {
    sim::CameraModel& camera = devices.AttachSerialCamera("COM1", CameraConfig());
    ui.portChoice = 1;
    ui.fileAnswers = {{FileDialogResult::Cancelled, ""},
                      {FileDialogResult::Cancelled, ""},
                      {FileDialogResult::Cancelled, ""}};
    ui.messageAnswers = {DIALOG_OK, DIALOG_OK, DIALOG_CANCEL};
    Run();
    EXPECT_EQ(ui.Prompts(), (std::vector<std::string>{"port", kChoose, kCancelled, kChoose, kCancelled,
                                                      kChoose, kCancelled}));
    EXPECT_EQ(CommandCount(camera, qx::CMD_RESET), 1U);
    EXPECT_TRUE(camera.BlocksWritten().empty());
    ExpectEndedCleanly();
}

TEST_F(ControllerTest, FailedFileDialogShowsFileNotFoundAndEndsTheSession) {
    sim::CameraModel& camera = devices.AttachSerialCamera("COM1", CameraConfig());
    ui.portChoice = 1;
    ui.fileAnswers = {{FileDialogResult::Failed, ""}};
    Run();
    EXPECT_EQ(ui.Prompts(),
              (std::vector<std::string>{"port", kChoose, "beep simple", "file-error File not found error!"}));
    EXPECT_EQ(CommandCount(camera, qx::CMD_RESET), 1U);
    ExpectEndedCleanly();
}

TEST_F(ControllerTest, UnreadableFileShowsReadErrorAndEndsTheSession) {
    sim::CameraModel& camera = devices.AttachSerialCamera("COM1", CameraConfig());
    ui.portChoice = 1;
    Choose(dir + "/missing.fw");
    Run();
    EXPECT_EQ(ui.Prompts(), (std::vector<std::string>{"port", kChoose, "beep simple",
                                                      "file-error File open or read error!"}));
    EXPECT_EQ(CommandCount(camera, qx::CMD_RESET), 1U);
    ExpectEndedCleanly();
}

// Files that are not images: each gets the wrong-file prompt; Quit ends the session.
class WrongFileRun : public ControllerTest, public ::testing::WithParamInterface<const char*> {
  protected:
    std::string MakeFile(const std::string& kind) {
        if (kind == "WrongIdentification") {
            return WriteImageFile("a.fw",
                                  MakeImage("0123", FIRMWARE_IMAGE_SIZE, "Corva Lumen Precision QX999"));
        }
        if (kind == "OneByteShort") {
            return WriteImageFile("a.fw", MakeImage("0123", FIRMWARE_IMAGE_SIZE - 1));
        }
        if (kind == "OneByteLong") {
            return WriteImageFile("a.fw", MakeImage("0123", FIRMWARE_IMAGE_SIZE + 1));
        }
        if (kind == "ShortHeaderOnly") {
            return WriteImageFile("a.fw", MakeImage("0123", 50));
        }
        if (kind == "Directory") {
            const std::string path = dir + "/d.fw";
            ::mkdir(path.c_str(), 0700);
            return path;
        }
        if (kind == "Fifo") {
            const std::string path = dir + "/f.fw";
            ::mkfifo(path.c_str(), 0600);
            return path;
        }
        return "/dev/zero";
    }
};

TEST_P(WrongFileRun, WrongFilePromptThenQuitEndsTheSession) {
    sim::CameraModel& camera = devices.AttachSerialCamera("COM1", CameraConfig());
    ui.portChoice = 1;
    Choose(MakeFile(GetParam()));
    ui.messageAnswers = {DIALOG_CANCEL};
    Run();
    EXPECT_EQ(ui.Prompts(), (std::vector<std::string>{"port", kChoose, kWrongFile}));
    EXPECT_EQ(CommandCount(camera, qx::CMD_RESET), 1U);
    EXPECT_TRUE(camera.BlocksWritten().empty());
    ExpectEndedCleanly();
}

INSTANTIATE_TEST_SUITE_P(Files, WrongFileRun,
                         ::testing::Values("WrongIdentification", "OneByteShort", "OneByteLong",
                                           "ShortHeaderOnly", "Directory", "Fifo", "DevZero"));

TEST_F(ControllerTest, WrongFileThenContinueChoosesAgainAndDownloads) {
    sim::CameraModel& camera = devices.AttachSerialCamera("COM1", CameraConfig());
    ui.portChoice = 1;
    Choose(WriteImageFile("short.fw", MakeImage("0123", FIRMWARE_IMAGE_SIZE - 1)));
    Choose(WriteImageFile("good.fw", MakeImage("0123")));
    ui.messageAnswers = {DIALOG_OK, DIALOG_OK};
    Run();
    EXPECT_EQ(ui.Prompts(),
              (std::vector<std::string>{"port", kChoose, kWrongFile, kChoose, "beep ok", Success("1.23")}));
    EXPECT_EQ(camera.BlocksWritten().size(), static_cast<size_t>(qx::SERIAL_BLOCK_COUNT));
    ExpectEndedCleanly();
}

TEST_F(ControllerTest, DownloadWritesThePayloadAndReportsSuccess) {
    sim::CameraModel& camera = devices.AttachSerialCamera("COM1", CameraConfig());
    ui.portChoice = 1;
    const std::vector<uint8_t> image = MakeImage("0123");
    Choose(WriteImageFile("good.fw", image));
    Run();
    EXPECT_EQ(ui.Prompts(), (std::vector<std::string>{"port", kChoose, "beep ok", Success("1.23")}));
    ASSERT_EQ(camera.Flash().size(), static_cast<size_t>(qx::FIRMWARE_PAYLOAD_SIZE));
    // The USB download writes its 248 blocks of 4096 bytes from the start of the payload.
    const size_t written = static_cast<size_t>(qx::USB_BLOCK_COUNT) * qx::USB_BLOCK_SIZE;
    ASSERT_GE(camera.Flash().size(), written);
    EXPECT_TRUE(std::equal(camera.Flash().begin(),
                           camera.Flash().begin() + static_cast<std::ptrdiff_t>(written),
                           image.begin() + FIRMWARE_HEADER_SIZE));
    EXPECT_TRUE(camera.ResetSeen());

    // The serial download has one phase: its notice opens at the start, paints every event, holds the
    // completed picture for one second and closes.
    ASSERT_GE(ui.notices.size(), 4U);
    EXPECT_EQ(ui.notices.front().what, "open");
    EXPECT_EQ(ui.notices[1].what, "paint");
    EXPECT_EQ(ui.notices[1].kind, STATUS_START);
    EXPECT_EQ(ui.notices[1].text, "Downloading firmware ...");
    const auto& last = ui.notices.back();
    const auto& final = ui.notices[ui.notices.size() - 2];
    EXPECT_EQ(final.kind, STATUS_COMPLETED);
    EXPECT_EQ(final.value, 100);
    EXPECT_EQ(final.text, "Downloading firmware completed.");
    EXPECT_EQ(last.what, "close");
    EXPECT_EQ(last.timeMs - final.timeMs, NOTICE_FINAL_HOLD_MS);
    ExpectEndedCleanly();
}

TEST_F(ControllerTest, UsbDownloadShowsAnEraseNoticeThenADownloadNotice) {
    sim::CameraModel& camera = devices.AttachUsbCamera("\\\\.\\QX410U-001", CameraConfig());
    ui.portChoice = PORT_USB;
    const std::vector<uint8_t> image = MakeImage("0123");
    Choose(WriteImageFile("good.fw", image));
    Run();
    EXPECT_EQ(ui.Prompts(), (std::vector<std::string>{"port", kChoose, "beep ok", Success("1.23")}));
    // The USB download writes its 248 blocks of 4096 bytes from the start of the payload.
    const size_t written = static_cast<size_t>(qx::USB_BLOCK_COUNT) * qx::USB_BLOCK_SIZE;
    ASSERT_GE(camera.Flash().size(), written);
    EXPECT_TRUE(std::equal(camera.Flash().begin(),
                           camera.Flash().begin() + static_cast<std::ptrdiff_t>(written),
                           image.begin() + FIRMWARE_HEADER_SIZE));

    // Two notices, never at the same time: open/close strictly alternate, and each closes one second
    // after its final picture.
    std::vector<std::string> labels;
    int open = 0;
    for (size_t i = 0; i < ui.notices.size(); ++i) {
        const auto& n = ui.notices[i];
        if (n.what == "open") {
            EXPECT_EQ(open, 0);
            ++open;
        } else if (n.what == "close") {
            EXPECT_EQ(open, 1);
            --open;
            ASSERT_GT(i, 0U);
            EXPECT_EQ(n.timeMs - ui.notices[i - 1].timeMs, NOTICE_FINAL_HOLD_MS);
        } else if (n.kind != STATUS_PROGRESS) {
            labels.push_back(n.text);
        }
    }
    EXPECT_EQ(open, 0);
    EXPECT_EQ(labels,
              (std::vector<std::string>{"Erasing data block ...", "Erasing data block completed.",
                                        "Downloading firmware ...", "Downloading firmware completed."}));
    ExpectEndedCleanly();
}

TEST_F(ControllerTest, DownloadFailureShowsTheRetryMessage) {
    sim::CameraConfig config = CameraConfig();
    config.faults.checksumAlwaysMismatch = true;
    devices.AttachSerialCamera("COM1", config);
    ui.portChoice = 1;
    Choose(WriteImageFile("good.fw", MakeImage("0123")));
    Run();
    EXPECT_EQ(ui.Prompts(), (std::vector<std::string>{"port", kChoose, kFailed}));
    ExpectEndedCleanly();
}

TEST_F(ControllerTest, SameVersionQuitEndsTheSessionBeforeAnyErase) {
    sim::CameraModel& camera = devices.AttachSerialCamera("COM1", CameraConfig());
    ui.portChoice = 1;
    Choose(WriteImageFile("same.fw", MakeImage("x10a")));
    ui.messageAnswers = {DIALOG_CANCEL};
    Run();
    EXPECT_EQ(ui.Prompts(), (std::vector<std::string>{"port", kChoose, kSameVersion}));
    EXPECT_EQ(CommandCount(camera, qx::CMD_ERASE_BLOCKS), 0U);
    EXPECT_EQ(CommandCount(camera, qx::CMD_RESET), 1U);
    ExpectEndedCleanly();
}

TEST_F(ControllerTest, SameVersionContinueDownloadsAndShowsTheFoldedVersion) {
    sim::CameraModel& camera = devices.AttachSerialCamera("COM1", CameraConfig());
    ui.portChoice = 1;
    Choose(WriteImageFile("same.fw", MakeImage("x10a")));
    ui.messageAnswers = {DIALOG_OK};
    Run();
    EXPECT_EQ(ui.Prompts(),
              (std::vector<std::string>{"port", kChoose, kSameVersion, "beep ok", Success("1.0A")}));
    EXPECT_EQ(camera.BlocksWritten().size(), static_cast<size_t>(qx::SERIAL_BLOCK_COUNT));
    ExpectEndedCleanly();
}

TEST_F(ControllerTest, UnidentifiedCameraLeavesTheStatusBlankAndSkipsTheVersionCheck) {
    sim::CameraConfig config = CameraConfig();
    config.startUnlocked = true;  // answers the access string at once: found, not identified
    config.versionMajor = 0;      // version 0.0.5.0: old enough for the reply the session expects
    config.versionMinor = 0x50;   // before it knows the version
    devices.AttachSerialCamera("COM1", config);
    ui.portChoice = 1;
    Choose(WriteImageFile("same.fw", MakeImage("x10a")));
    Run();
    EXPECT_EQ(controller->m_bNotIdentified, 1);
    EXPECT_EQ(controller->StatusText(), "");
    // The status line goes blank straight after the search: no version pauses.
    const auto blank = std::find(ui.calls.begin(), ui.calls.end(), "status []");
    ASSERT_NE(blank, ui.calls.end());
    EXPECT_EQ(*(blank - 1), "busy off");
    // No version prompt, and the version as stored: the last character not upper-cased.
    EXPECT_EQ(ui.Prompts(), (std::vector<std::string>{"port", kChoose, "beep ok", Success("1.0a")}));
    ExpectEndedCleanly();
}

TEST_F(ControllerTest, PathTooLongIsRefusedAndTheUserMayChooseAgain) {
    devices.AttachSerialCamera("COM1", CameraConfig());
    ui.portChoice = 1;
    Choose("/" + std::string(255, 'p'));  // 256 characters: one too many for the buffer
    ui.messageAnswers = {DIALOG_CANCEL};
    Run();
    EXPECT_EQ(ui.Prompts(),
              (std::vector<std::string>{"port", kChoose, "beep simple",
                                        std::string("file-error ") + PATH_TOO_LONG_TEXT, kCancelled}));
    ExpectEndedCleanly();
}

// ---- Pieces of the controller without a run ----

TEST_F(ControllerTest, SelectFirmwareFileNeverWritesPastThePathBuffer) {
    controller = std::make_unique<CUpdateController>(devices);
    struct {
        char path[FILE_PATH_BUFFER_SIZE];
        char guard[16];
    } buffer;
    std::memset(&buffer, 0x5A, sizeof buffer);
    std::memset(buffer.path, 0, sizeof buffer.path);
    const char* filter = res::LoadString(res::IDS_FILE_FILTER);

    ui.fileAnswers = {{FileDialogResult::Chosen, std::string(256, 'q')},
                      {FileDialogResult::Chosen, std::string(255, 'r')}};
    EXPECT_EQ(controller->SelectFirmwareFile(ui, 1, buffer.path, filter), FILE_SELECT_CANCELLED);
    EXPECT_EQ(buffer.path[0], 0);
    EXPECT_EQ(controller->SelectFirmwareFile(ui, 1, buffer.path, filter), FILE_SELECT_CHOSEN);
    EXPECT_EQ(std::string(buffer.path), std::string(255, 'r'));
    for (char guard : buffer.guard) {
        EXPECT_EQ(guard, 0x5A);
    }
}

struct FilterCase {
    const char* filter;
    const char* initialName;
};

TEST_F(ControllerTest, InitialFileNameComesFromTheFirstExtensionPattern) {
    controller = std::make_unique<CUpdateController>(devices);
    const FilterCase cases[] = {{"Firmware Files (*.fw )   |*.fw||  ", "*.fw "},
                                {"All (*.*)|*.*|Images|*.fw", "*.fw"},
                                {"No pattern here", ""},
                                {"*.", ""}};
    for (const FilterCase& c : cases) {
        ui.calls.clear();
        char path[FILE_PATH_BUFFER_SIZE] = {};
        controller->SelectFirmwareFile(ui, 1, path, c.filter);
        EXPECT_EQ(ui.calls.front(), std::string("choose [") + c.filter + "] [" + c.initialName + "]");
    }
}

struct StatusCase {
    const char* name;
    int16_t kind;
    int32_t known;
    const char* id;
    const char* version;
    const char* expected;
};

TEST_F(ControllerTest, StatusLineTexts) {
    controller = std::make_unique<CUpdateController>(devices);
    const StatusCase cases[] = {
        {"PortPrompt", 0, 0, "", "0000", "Select the communication port. "},
        {"Searching", 1, 0, "", "0000", "Searching for Corva QX410 Zoom Digital Camera ..."},
        {"Camera", 2, 1, "ABC", "010A", "Camera ID: ABC     Firmware Version: 1.0A"},
        {"CameraWithoutName", 2, 1, "", "0:9Z", "Camera ID: ---    Firmware Version: :.9Z"},
        {"CameraNotKnown", 2, 0, "ABC", "010A", ""},
        {"Blank", 3, 1, "ABC", "010A", ""},
        {"UnknownKind", 9, 1, "ABC", "010A", ""},
    };
    for (const StatusCase& c : cases) {
        controller->m_bCameraKnown = c.known;
        std::memset(controller->m_cameraId, 0, sizeof controller->m_cameraId);
        std::strcpy(controller->m_cameraId, c.id);
        std::memcpy(controller->m_cameraVersion, c.version, 4);
        controller->SetStatus(c.kind);
        EXPECT_EQ(controller->StatusText(), c.expected) << c.name;
    }
}

TEST(WindowPlacement, DialogsAreCentredAndClampedNoticesSitBottomRight) {
    struct Case {
        WindowRect reference;
        int32_t width, height;
        WindowPosition dialog, notice;
    };
    const Case cases[] = {
        {{0, 0, 800, 600}, 301, 201, {250, 200}, {489, 399}},
        {{100, 50, 900, 650}, 301, 201, {250, 200}, {489, 399}},  // only the size of the reference counts
        {{0, 0, 5, 5}, 7, 7, {0, 0}, {-12, -2}},                  // 2 - 3 = -1 clamps; the notice does not
        {{0, 0, 300, 200}, 400, 100, {0, 50}, {-110, 100}},
    };
    for (const Case& c : cases) {
        const WindowPosition dialog = ComputeDialogPosition(c.reference, c.width, c.height);
        const WindowPosition notice = ComputeNoticePosition(c.reference, c.width, c.height);
        EXPECT_EQ(dialog.x, c.dialog.x);
        EXPECT_EQ(dialog.y, c.dialog.y);
        EXPECT_EQ(notice.x, c.notice.x);
        EXPECT_EQ(notice.y, c.notice.y);
    }
}

// ---- The download status callback ----

class NoticeTest : public ControllerTest {
  protected:
    void SetUp() override {
        controller = std::make_unique<CUpdateController>(devices);
        controller->m_pUi = &ui;  // as inside RunUpdate
    }
    std::vector<std::string> Events() const {
        std::vector<std::string> events;
        for (const auto& n : ui.notices) {
            events.push_back(n.what == "paint"
                                 ? "paint " + std::to_string(n.kind) + " " + std::to_string(n.value) + " " +
                                       n.text + " @" + std::to_string(n.timeMs)
                                 : n.what + " @" + std::to_string(n.timeMs));
        }
        return events;
    }
};

TEST_F(NoticeTest, EachPhaseGetsItsOwnNoticeHeldOneSecondAtTheEnd) {
    EXPECT_EQ(ReportDownloadStatus(STATUS_START, 0, 1), 1);
    EXPECT_EQ(ReportDownloadStatus(STATUS_PROGRESS, 50, 1), 1);
    EXPECT_EQ(ReportDownloadStatus(STATUS_COMPLETED, 100, 1), 1);
    EXPECT_EQ(ReportDownloadStatus(STATUS_START, 0, 0), 1);
    EXPECT_EQ(ReportDownloadStatus(STATUS_FAILED, 37, 0), 1);
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"open @0", "paint 0 0 Erasing data block ... @0",
                                        "paint 1 50 Erasing data block ... @0",
                                        "paint 2 100 Erasing data block completed. @0", "close @1000",
                                        "open @1000", "paint 0 0 Downloading firmware ... @1000",
                                        "paint 3 37 Downloading firmware failed. @1000", "close @2000"}));
    EXPECT_EQ(controller->m_pNotice, nullptr);
    EXPECT_EQ(controller->m_bNoticeOpen, 0);
}

TEST_F(NoticeTest, EventsWithoutANoticeAndUnknownKindsChangeNothing) {
    EXPECT_EQ(ReportDownloadStatus(STATUS_PROGRESS, 10, 0), 1);
    EXPECT_EQ(ReportDownloadStatus(STATUS_COMPLETED, 100, 0), 1);
    EXPECT_EQ(ReportDownloadStatus(STATUS_START, 0, 0), 1);
    EXPECT_EQ(ReportDownloadStatus(7, 5, 0), 1);
    EXPECT_EQ(Events(), (std::vector<std::string>{"open @0", "paint 0 0 Downloading firmware ... @0"}));
    EXPECT_EQ(controller->m_bNoticeOpen, 1);
}

TEST_F(NoticeTest, NoNoticeMadeMeansTheDownloadGoesOnUnseen) {
    ui.noticeOpens = false;
    EXPECT_EQ(ReportDownloadStatus(STATUS_START, 0, 0), 1);
    EXPECT_EQ(ReportDownloadStatus(STATUS_PROGRESS, 10, 0), 1);
    EXPECT_EQ(ReportDownloadStatus(STATUS_COMPLETED, 100, 0), 1);
    EXPECT_EQ(Events(), std::vector<std::string>{"open @0"});
    EXPECT_EQ(controller->m_pNotice, nullptr);
    EXPECT_EQ(controller->m_bNoticeOpen, 1);
    EXPECT_EQ(clock.ReadMs(), 0U);
}

TEST_F(NoticeTest, UnpaintedFinalEventClosesWithoutTheHold) {
    ReportDownloadStatus(STATUS_START, 0, 0);
    ui.noticePaints = false;
    ReportDownloadStatus(STATUS_FAILED, 12, 0);
    EXPECT_EQ(Events(), (std::vector<std::string>{"open @0", "paint 0 0 Downloading firmware ... @0",
                                                  "paint 3 12 Downloading firmware failed. @0", "close @0"}));
}

TEST_F(NoticeTest, StartWhileANoticeIsOpenClosesTheOldOneFirst) {
    ReportDownloadStatus(STATUS_START, 0, 1);
    ReportDownloadStatus(STATUS_START, 0, 0);
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"open @0", "paint 0 0 Erasing data block ... @0", "close @0",
                                        "open @0", "paint 0 0 Downloading firmware ... @0"}));
}

TEST_F(NoticeTest, ValueTravelsAsSigned16Bits) {
    ReportDownloadStatus(STATUS_START, 0, 0);
    ReportDownloadStatus(STATUS_PROGRESS, 0x10005, 0);
    ReportDownloadStatus(STATUS_PROGRESS, 0xFFFF, 0);
    ASSERT_EQ(ui.notices.size(), 4U);
    EXPECT_EQ(ui.notices[2].value, 5);
    EXPECT_EQ(ui.notices[3].value, -1);
}

TEST(NoticeWithoutController, AnswersOneAndDoesNothing) {
    ASSERT_EQ(g_pController, nullptr);
    EXPECT_EQ(ReportDownloadStatus(STATUS_START, 0, 0), 1);
    EXPECT_EQ(ReportDownloadStatus(STATUS_COMPLETED, 100, 0), 1);
}

}  // namespace
