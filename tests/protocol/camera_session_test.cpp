// The camera search on every port choice, the wake-up with its line reset and speed switch, the USB
// unlock and the end of the session, against the camera model in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "protocol/camera_session.h"
#include "tests/protocol/protocol_fixture.h"

namespace {

constexpr int32_t UNTOUCHED = 77;

class SearchTest : public qxtest::VirtualSessionTest {
  protected:
    CameraInfo m_info;
    char m_text[CAMERA_NAME_BUFFER_SIZE] = {};
    CameraName m_name;
    int32_t m_notIdentified = UNTOUCHED;

    void Search(int16_t port) {
        m_name.name = m_text;
        m_session.SearchCamera(port, &m_info, &m_name, &m_notIdentified);
    }
    bool AnySerialOpened() const {
        const auto& attempts = m_devices.OpenAttempts();
        return std::any_of(attempts.begin(), attempts.end(),
                           [](const std::string& name) { return name.rfind("COM", 0) == 0; });
    }
    std::vector<uint8_t> CodesOn(const sim::CameraModel& camera) const {
        std::vector<uint8_t> codes;
        for (const auto& record : camera.Commands()) {
            codes.push_back(record.code);
        }
        return codes;
    }
};

TEST_F(SearchTest, AutoWithUsbCameraSignsOffThenRunsTheUsbSequenceWithoutTouchingSerialPorts) {
    sim::CameraModel& camera = m_devices.AttachUsbCamera(qxtest::USB_DEVICE_1);
    Search(PORT_AUTO);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
    EXPECT_FALSE(AnySerialOpened());
    // Probe (status and flag follow-up), then identify again, info, name, update mode. The probe's
    // sign-off finds the handle already released: it closes the device without reaching the camera.
    EXPECT_EQ(CodesOn(camera),
              (std::vector<uint8_t>{0x7F, 0x96, 0x7F, 0x7F, 0x96, 0x7F, 0x7F, 0x96, 0x7F, 0x96, 0x8D}));
    EXPECT_EQ(m_devices.OpenAttempts().front(), qxtest::USB_DEVICE_1);
    EXPECT_TRUE(camera.Unlocked());
    EXPECT_EQ(m_info.version, camera.VersionWord());
    EXPECT_EQ(m_session.m_firmwareVersion, camera.VersionWord());
    EXPECT_EQ(std::string(m_text).substr(0, 16), "Corva QX410 Zoom");
}

TEST_F(SearchTest, AutoTriesComPortsInOrderAndFindsTheCameraOnCom3) {
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM3");
    Search(PORT_AUTO);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
    EXPECT_EQ(m_session.m_portNumber, 3);
    std::vector<std::string> serialOpens;
    for (const auto& name : m_devices.OpenAttempts()) {
        if (name.rfind("COM", 0) == 0) {
            serialOpens.push_back(name);
        }
    }
    EXPECT_EQ(serialOpens, (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    EXPECT_TRUE(camera.Unlocked());
    EXPECT_EQ(m_info.version, camera.VersionWord());
    EXPECT_EQ(m_session.m_speedCode, 1);  // back at 9600 for the download
    EXPECT_NE(m_session.m_hSerial, nullptr);
}

TEST_F(SearchTest, ExplicitPortThatCannotOpenGivesTheOpenFailureAndLeavesTheFlag) {
    Search(5);
    EXPECT_EQ(m_session.GetResultCode(), CODE_TRANSFER_FAILED);
    EXPECT_EQ(m_notIdentified, UNTOUCHED);
    EXPECT_EQ(m_devices.OpenAttempts(), std::vector<std::string>{"COM5"});
}

TEST_F(SearchTest, ExplicitPortWithSilentDeviceIsNotIdentifiedAndFails) {
    sim::CameraConfig config;
    config.faults.silent = true;
    m_devices.AttachSerialCamera("COM5", config);
    Search(5);
    EXPECT_NE(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 1);
    EXPECT_EQ(m_session.m_hSerial, nullptr);
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), 1u);  // one line reset
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

TEST_F(SearchTest, UsbPortChoiceIdentifiesReadsAndUnlocks) {
    sim::CameraModel& camera = m_devices.AttachUsbCamera(qxtest::USB_DEVICE_1);
    Search(PORT_USB);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
    EXPECT_EQ(CodesOn(camera), (std::vector<uint8_t>{0x7F, 0x96, 0x7F, 0x7F, 0x96, 0x7F, 0x96, 0x8D}));
    EXPECT_TRUE(camera.Unlocked());
    EXPECT_EQ(m_session.m_hUsb, nullptr);  // the handle is held only inside one operation
    EXPECT_NE(m_session.m_devicePath[0], '\0');
}

TEST_F(SearchTest, UsbCameraRefusingTheUpdateModeIsNotReportedAsUnlocked) {
    sim::CameraConfig config;
    config.faults.refuseCommand = 0x8D;
    sim::CameraModel& camera = m_devices.AttachUsbCamera(qxtest::USB_DEVICE_1, config);
    Search(PORT_USB);
    EXPECT_EQ(m_notIdentified, 1);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_FALSE(camera.Unlocked());
    EXPECT_EQ(m_session.m_devicePath[0], '\0');  // signed off: the device is closed
}

TEST_F(SearchTest, NoUsbDeviceAndNoSerialPortsFailsWithTheLastFailure) {
    Search(PORT_AUTO);
    EXPECT_EQ(m_session.GetResultCode(), CODE_TRANSFER_FAILED);
    EXPECT_EQ(m_notIdentified, UNTOUCHED);
}

TEST_F(SearchTest, NullRecordsStillGiveACompleteSearch) {
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM1");
    int32_t notIdentified = UNTOUCHED;
    m_session.SearchCamera(1, nullptr, nullptr, &notIdentified);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(notIdentified, 0);
    EXPECT_EQ(m_session.m_firmwareVersion, camera.VersionWord());
}

// A camera left at 115200 baud by an earlier session: the first status request goes unheard and the
// line reset brings it back to 9600.
class WakeAfterSpeedChangeTest : public SearchTest {
  protected:
    sim::CameraModel* m_camera = nullptr;
    void SetUp() override {
        m_camera = &m_devices.AttachSerialCamera("COM1");
        CCameraSession earlier(m_devices);
        earlier.m_portKind = PORT_KIND_SERIAL;
        ASSERT_EQ(earlier.OpenSerialPort(1), 0);
        ASSERT_EQ(earlier.ChangeSpeed(5), 0);
        earlier.CloseSerialPort();
        ASSERT_EQ(m_camera->SpeedCode(), 5);
        m_devices.ClearWireLog();
    }
};

TEST_F(WakeAfterSpeedChangeTest, FirstSearchFindsTheCameraAfterTheLineResetWithoutAnInvalidSpeedCommand) {
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
    OpenSerial(1);
    m_session.m_targetSpeed = 2;
    m_session.m_cameraSpeed = 5;
    EXPECT_EQ(m_session.WakeCamera(1), 0);
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), 1u);
    const auto speeds = CommandWrites("COM1", 0x41);
    ASSERT_EQ(speeds.size(), 1u);
    EXPECT_EQ(speeds[0].bytes, (std::vector<uint8_t>{0x41, 0, 0x19, 0x20, 0, 0, 0, 0x1A}));
    EXPECT_EQ(m_session.m_speedCode, 2);
    EXPECT_EQ(m_camera->SpeedCode(), 2);
    EXPECT_EQ(m_session.m_commandAttempts, 3);
}

TEST_F(SearchTest, AnsweringCameraIsSwitchedToTheTargetSpeedWithoutALineReset) {
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM1");
    OpenSerial(1);
    m_session.m_targetSpeed = 5;
    m_session.m_cameraSpeed = 1;
    EXPECT_EQ(m_session.WakeCamera(1), 0);
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), 0u);
    EXPECT_EQ(CodesOn(camera), (std::vector<uint8_t>{0x7F, 0x41, 0x7F}));
    EXPECT_EQ(camera.SpeedCode(), 5);
    EXPECT_EQ(m_session.m_speedCode, 5);
}

TEST_F(SearchTest, CameraNotReadyIsReportedWithoutALineReset) {
    sim::CameraConfig config;
    config.state = 3;
    m_devices.AttachSerialCamera("COM1", config);
    OpenSerial(1);
    EXPECT_EQ(m_session.WakeCamera(1), RESULT_NOT_READY);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_CAMERA_NOT_READY);
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), 0u);
}

TEST_F(SearchTest, EndSessionResetsAndClosesOnBothLinks) {
    sim::CameraModel& serial = m_devices.AttachSerialCamera("COM1");
    Search(1);
    ASSERT_EQ(m_session.GetResultCode(), 0);
    m_session.EndSession();
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_TRUE(serial.ResetSeen());
    EXPECT_EQ(m_session.m_hSerial, nullptr);

    sim::CameraConfig config;
    config.faults.refuseCommand = 0xAE;
    sim::CameraModel& usb = m_devices.AttachUsbCamera(qxtest::USB_DEVICE_1, config);
    Search(PORT_USB);
    ASSERT_EQ(m_session.GetResultCode(), 0);
    m_session.EndSession();
    EXPECT_EQ(m_session.GetResultCode(), 0);  // a refused reset does not fail the end over USB
    EXPECT_EQ(CodesOn(usb).back(), 0x97);
    EXPECT_EQ(m_session.m_devicePath[0], '\0');
}

}  // namespace
