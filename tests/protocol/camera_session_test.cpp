// The camera search on every port choice, the pauses of the serial sequence, the wake-up with its line
// reset and speed switch, the USB probe and unlock, and the end of the session, against the camera model
// in virtual time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/camera_session.h"
#include "tests/protocol/protocol_fixture.h"

namespace {

using qxtest::UNTOUCHED;
using qxtest::USB_DEVICE_1;
using SearchTest = qxtest::VirtualSessionTest;
using Codes = std::vector<uint8_t>;

std::vector<std::string> SerialOpens(const std::vector<std::string>& attempts) {
    std::vector<std::string> serial;
    for (const std::string& name : attempts) {
        if (name.rfind("COM", 0) == 0) {
            serial.push_back(name);
        }
    }
    return serial;
}

TEST_F(SearchTest, AutoWithUsbCameraSignsOffThenRunsTheUsbSequenceWithoutTouchingSerialPorts) {
    sim::CameraModel& camera = m_devices.AttachUsbCamera(USB_DEVICE_1);
    Search(PORT_AUTO);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
    EXPECT_TRUE(SerialOpens(m_devices.OpenAttempts()).empty());
    // Probe (status and flag follow-up), then identify again, info, name, update mode. The probe's
    // sign-off finds the handle already released: it closes the device without reaching the camera.
    EXPECT_EQ(CodesOn(camera), (Codes{0x7F, 0x96, 0x7F, 0x7F, 0x96, 0x7F, 0x7F, 0x96, 0x7F, 0x96, 0x8D}));
    EXPECT_TRUE(camera.Unlocked());
    EXPECT_EQ(m_info.version, camera.VersionWord());
    EXPECT_EQ(m_session.m_firmwareVersion, camera.VersionWord());
    EXPECT_EQ(std::string(m_text).substr(0, 16), "Corva QX410 Zoom");
}

TEST_F(SearchTest, AutoTriesComPortsInOrderAndFindsTheCameraOnCom3) {
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM3");
    sim::CameraConfig silent;
    silent.faults.silent = true;
    m_devices.AttachSerialCamera("COM2", silent);
    Search(PORT_AUTO);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
    EXPECT_EQ(SerialOpens(m_devices.OpenAttempts()), (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    EXPECT_TRUE(camera.Unlocked());
    EXPECT_EQ(m_info.version, camera.VersionWord());
    EXPECT_EQ(m_session.m_speedCode, 1);  // back at 9600 for the download
    EXPECT_NE(m_session.m_hSerial, nullptr);
    // COM2's silent device: access string, then 500 + 2000 ms of read and pause before the status
    // request, whose line reset comes after one unanswered sending.
    const auto access = HostWrites("COM2");
    const auto status = CommandWrites("COM2", 0x7F);
    ASSERT_FALSE(access.empty());
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status[0].timeMs - access[0].timeMs, 500u + 2000u + 2000u);
}

// Every pause of the serial sequence, measured from the camera's last byte to the next command packet
// or access string: info, name, 9600 baud, update mode, access exchange.
TEST_F(SearchTest, SerialSequenceKeepsItsPausesBetweenSteps) {
    m_devices.AttachSerialCamera("COM1");
    Search(1);
    ASSERT_EQ(m_session.GetResultCode(), 0);
    std::vector<std::pair<uint8_t, uint32_t>> steps;  // (first byte, ms since the camera's last byte)
    uint32_t lastCameraByte = 0;
    for (const sim::WireRecord& record : m_devices.WireLog()) {
        if (record.kind == sim::WireKind::CameraToHost) {
            lastCameraByte = record.timeMs;
        } else if (record.kind == sim::WireKind::HostToCamera && record.bytes.size() >= 8 &&
                   lastCameraByte != 0) {
            steps.emplace_back(record.bytes[0], record.timeMs - lastCameraByte);
        }
    }
    const std::vector<std::pair<uint8_t, uint32_t>> expected = {{0x96, 100}, {0x7F, 1000},       {0x96, 100},
                                                                {0x41, 500}, {0x8D, 100 + 2000}, {'K', 2000}};
    EXPECT_EQ(steps, expected);
}

TEST_F(SearchTest, ExplicitPortThatCannotOpenGivesTheOpenFailureAndLeavesTheFlag) {
    Search(5);
    EXPECT_EQ(m_session.GetResultCode(), CODE_TRANSFER_FAILED);
    EXPECT_EQ(m_notIdentified, UNTOUCHED);
    EXPECT_EQ(m_devices.OpenAttempts(), std::vector<std::string>{"COM5"});
}

TEST_F(SearchTest, ExplicitPortWithSilentDeviceGetsOneLineResetAndIsNotIdentified) {
    sim::CameraConfig config;
    config.faults.silent = true;
    m_devices.AttachSerialCamera("COM5", config);
    Search(5);
    EXPECT_EQ(m_session.GetResultCode(), CODE_NOT_READY);
    EXPECT_EQ(m_notIdentified, 1);
    EXPECT_EQ(m_session.m_hSerial, nullptr);
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), 1u);
}

TEST_F(SearchTest, CameraAlreadyUnlockedAnswersTheAccessStringAtOnce) {
    // With the version not yet read the updater expects the reply of cameras below 0x506.
    sim::CameraConfig config;
    config.startUnlocked = true;
    config.versionMajor = 0;
    config.versionMinor = 0x50;
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM2", config);
    Search(2);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 1);
    EXPECT_EQ(m_session.m_firmwareVersion, 0u);
    EXPECT_TRUE(camera.Commands().empty());
    EXPECT_EQ(m_info.version, 0u);
}

TEST_F(SearchTest, UsbPortChoiceIdentifiesReadsAndUnlocksHoldingTheHandleOnlyPerOperation) {
    sim::CameraModel& camera = m_devices.AttachUsbCamera(USB_DEVICE_1);
    Search(PORT_USB);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
    EXPECT_EQ(CodesOn(camera), (Codes{0x7F, 0x96, 0x7F, 0x7F, 0x96, 0x7F, 0x96, 0x8D}));
    EXPECT_TRUE(camera.Unlocked());
    EXPECT_EQ(m_session.m_hUsb, nullptr);
    EXPECT_NE(m_session.m_devicePath[0], '\0');
}

TEST_F(SearchTest, FlagBitThreeSparesTheFollowUpButKeepsTheRecordValid) {
    sim::CameraConfig config;
    config.flags = 0x88;
    sim::CameraModel& camera = m_devices.AttachUsbCamera(USB_DEVICE_1, config);
    Search(PORT_USB);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(CodesOn(camera), (Codes{0x7F, 0x7F, 0x7F, 0x8D}));
    EXPECT_EQ(m_info.counter, 1234);
}

TEST_F(SearchTest, UsbCameraRefusingTheUpdateModeIsNotReportedAsUnlocked) {
    sim::CameraConfig config;
    config.faults.refuseCommand = 0x8D;
    sim::CameraModel& camera = m_devices.AttachUsbCamera(USB_DEVICE_1, config);
    Search(PORT_USB);
    EXPECT_EQ(m_notIdentified, 1);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_FALSE(camera.Unlocked());
    EXPECT_EQ(CodesOn(camera).back(), 0x8D);  // the sign-off finds the handle already released
    EXPECT_EQ(m_session.m_devicePath[0], '\0');
}

TEST_F(SearchTest, UsbCameraThatNeverAnswersIsProbedSixTimesThenGivenUp) {
    sim::CameraConfig config;
    config.faults.silent = true;
    m_devices.AttachUsbCamera(USB_DEVICE_1, config);
    Search(PORT_USB);
    EXPECT_EQ(m_session.GetResultCode(), CODE_USB_PROBE_FAILED);
    EXPECT_EQ(m_notIdentified, 1);
    EXPECT_EQ(CommandWrites(USB_DEVICE_1, 0x7F).size(), 6u * 2u);  // two single sendings an attempt
    EXPECT_EQ(m_session.m_sendBuffer, nullptr);
}

TEST_F(SearchTest, NoUsbDeviceAndNoSerialPortsFailsWithTheLastFailure) {
    Search(PORT_AUTO);
    EXPECT_EQ(m_session.GetResultCode(), CODE_TRANSFER_FAILED);
    EXPECT_EQ(m_notIdentified, UNTOUCHED);
}

TEST_F(SearchTest, NullRecordsStillGiveACompleteSearch) {
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM1");
    m_session.SearchCamera(1, nullptr, nullptr, &m_notIdentified);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
    EXPECT_EQ(m_session.m_firmwareVersion, camera.VersionWord());
}

// A camera left at 115200 baud by an earlier session: the first status request goes unheard and the
// line reset brings it back to 9600.
class WakeAfterSpeedChangeTest : public SearchTest {
  protected:
    sim::CameraModel* m_camera = nullptr;
    void SetUp() override {
        m_camera = &m_devices.AttachSerialCamera("COM1");
        OpenSerial();
        ASSERT_EQ(m_session.ChangeSpeed(5), 0);
        m_session.CloseSerialPort();
        m_devices.ClearWireLog();
    }
};

TEST_F(WakeAfterSpeedChangeTest, FirstSearchFindsTheCameraAfterTheLineResetWithoutAnInvalidSpeedCommand) {
    m_session.m_cameraSpeed = 0;  // as in a new session
    Search(1);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), 1u);
    // The only speed command of the search is the final switch to 9600.
    const auto speeds = CommandWrites("COM1", 0x41);
    ASSERT_EQ(speeds.size(), 1u);
    EXPECT_EQ(speeds[0].bytes[2], 0x96);
    EXPECT_EQ(m_session.m_speedCode, 1);
    EXPECT_EQ(m_session.m_cameraSpeed, 1);
}

TEST_F(WakeAfterSpeedChangeTest, LineResetWithATargetSpeedSwitchesCameraAndLineToIt) {
    OpenSerial();
    m_session.m_targetSpeed = 2;
    EXPECT_EQ(m_session.WakeCamera(1), 0);
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), 1u);
    const auto speeds = CommandWrites("COM1", 0x41);
    ASSERT_EQ(speeds.size(), 1u);
    EXPECT_EQ(speeds[0].bytes, (Codes{0x41, 0, 0x19, 0x20, 0, 0, 0, 0x1A}));
    EXPECT_EQ(m_session.m_speedCode, 2);
    EXPECT_EQ(m_camera->SpeedCode(), 2);
    EXPECT_EQ(m_session.m_commandAttempts, 3);
}

TEST_F(SearchTest, AnsweringCameraIsSwitchedToTheTargetSpeedWithoutALineReset) {
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM1");
    OpenSerial();
    m_session.m_targetSpeed = 5;
    m_session.m_cameraSpeed = 1;
    EXPECT_EQ(m_session.WakeCamera(1), 0);
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), 0u);
    EXPECT_EQ(CodesOn(camera), (Codes{0x7F, 0x41, 0x7F}));
    EXPECT_EQ(camera.SpeedCode(), 5);
    EXPECT_EQ(m_session.m_speedCode, 5);
}

TEST_F(SearchTest, CameraNotReadyIsReportedWithoutALineReset) {
    sim::CameraConfig config;
    config.state = 3;
    m_devices.AttachSerialCamera("COM1", config);
    OpenSerial();
    EXPECT_EQ(m_session.WakeCamera(1), RESULT_NOT_READY);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_CAMERA_NOT_READY);
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), 0u);
}

TEST_F(SearchTest, EndSessionReportsTheResetOnSerialButNeverFailsOverUsb) {
    sim::CameraConfig refuseReset;
    refuseReset.faults.refuseCommand = 0xAE;
    sim::CameraModel& serial = FindCamera(1);
    m_session.EndSession();
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_TRUE(serial.ResetSeen());
    EXPECT_EQ(m_session.m_hSerial, nullptr);

    m_devices.Detach("COM1");
    FindCamera(1, refuseReset);
    m_session.EndSession();
    EXPECT_EQ(m_session.GetResultCode(), CODE_TRANSFER_FAILED);
    EXPECT_EQ(m_session.m_hSerial, nullptr);

    sim::CameraModel& usb = FindCamera(PORT_USB, refuseReset);
    m_session.EndSession();
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(CodesOn(usb).back(), 0x97);
    EXPECT_EQ(m_session.m_devicePath[0], '\0');
}

}  // namespace
