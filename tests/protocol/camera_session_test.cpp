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

sim::CameraConfig Config(void (*change)(sim::CameraConfig&)) {
    sim::CameraConfig config;
    change(config);
    return config;
}

struct FoundCase {
    const char* name;
    int16_t port;
    sim::CameraConfig config;
    Codes codes;
};

class UsbSearchTest : public SearchTest, public ::testing::WithParamInterface<FoundCase> {};

// The AUTO probe's sign-off finds the handle already released: it closes the device without reaching
// the camera, and the USB sequence identifies the camera again.
TEST_P(UsbSearchTest, IdentifiesReadsAndUnlocksHoldingTheHandleOnlyPerOperation) {
    sim::CameraModel& camera = m_devices.AttachUsbCamera(USB_DEVICE_1, GetParam().config);
    Search(GetParam().port);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
    EXPECT_EQ(CodesOn(camera), GetParam().codes);
    EXPECT_TRUE(camera.Unlocked());
    EXPECT_EQ(m_devices.OpenAttempts().front(), USB_DEVICE_1);  // no serial port touched
    EXPECT_EQ(m_devices.OpenAttempts().back(), USB_DEVICE_1);
    EXPECT_EQ(m_info.version, camera.VersionWord());
    EXPECT_EQ(m_info.counter, 1234);
    EXPECT_EQ(m_session.m_firmwareVersion, camera.VersionWord());
    EXPECT_EQ(std::string(m_text).substr(0, 16), "Corva QX410 Zoom");
    EXPECT_EQ(m_session.m_hUsb, nullptr);
    EXPECT_NE(m_session.m_devicePath[0], '\0');
    // Every command reached the driver as one write request: the pipe word, then the 8 packet bytes.
    size_t commandWrites = 0;
    for (const sim::WireRecord& record : m_devices.WireLog()) {
        commandWrites += record.kind == sim::WireKind::UsbRequest &&
                         record.controlCode == IOCTL_CAMERA_WRITE && record.length == 12 && !record.failed;
    }
    EXPECT_EQ(commandWrites, GetParam().codes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Ports, UsbSearchTest,
    ::testing::Values(
        FoundCase{"Auto", PORT_AUTO, {}, {0x7F, 0x96, 0x7F, 0x7F, 0x96, 0x7F, 0x7F, 0x96, 0x7F, 0x96, 0x8D}},
        FoundCase{"Usb", PORT_USB, {}, {0x7F, 0x96, 0x7F, 0x7F, 0x96, 0x7F, 0x96, 0x8D}},
        // Flag bit 3 spares the follow-up command but leaves the record valid.
        FoundCase{"FollowedUp",
                  PORT_USB,
                  Config([](sim::CameraConfig& c) { c.flags = 0x88; }),
                  {0x7F, 0x7F, 0x7F, 0x8D}}),
    [](const ::testing::TestParamInfo<FoundCase>& param) { return param.param.name; });

struct OutcomeCase {
    const char* name;
    int16_t port;
    const char* device;  // where the camera is, or nullptr
    sim::CameraConfig config;
    int16_t code;
    int32_t notIdentified;
    size_t statusRequests;
    size_t breaks;
    bool linkHeld;
};

class SearchOutcomeTest : public SearchTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(SearchOutcomeTest, ResultFlagRequestsAndLinkFollowTheCamera) {
    const OutcomeCase& c = GetParam();
    if (c.device != nullptr) {
        std::string(c.device) == USB_DEVICE_1 ? m_devices.AttachUsbCamera(c.device, c.config)
                                              : m_devices.AttachSerialCamera(c.device, c.config);
    }
    Search(c.port);
    EXPECT_EQ(m_session.GetResultCode(), c.code);
    EXPECT_EQ(m_notIdentified, c.notIdentified);
    size_t requests = 0;
    for (const sim::WireRecord& record : m_devices.WireLog()) {
        requests +=
            record.kind == sim::WireKind::HostToCamera && record.bytes.size() == 8 && record.bytes[0] == 0x7F;
    }
    EXPECT_EQ(requests, c.statusRequests);
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), c.breaks);
    EXPECT_EQ(m_session.m_sendBuffer != nullptr, c.linkHeld);
    EXPECT_EQ(m_session.m_firmwareVersion, m_info.version);
}

const sim::CameraConfig SILENT = Config([](sim::CameraConfig& c) { c.faults.silent = true; });

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SearchOutcomeTest,
    ::testing::Values(
        OutcomeCase{"PortThatCannotOpen", 5, nullptr, {}, CODE_TRANSFER_FAILED, UNTOUCHED, 0, 0, false},
        OutcomeCase{"NothingAnywhere", PORT_AUTO, nullptr, {}, CODE_TRANSFER_FAILED, UNTOUCHED, 0, 0, false},
        // One status request, one line reset, one more request: camera not ready.
        OutcomeCase{"SilentSerialDevice", 5, "COM5", SILENT, CODE_NOT_READY, 1, 2, 1, false},
        // A camera whose update mode is still open answers the access string at once; with the version
        // not yet read the updater expects the reply of cameras below 0x506.
        OutcomeCase{"AlreadyUnlocked", 2, "COM2", Config([](sim::CameraConfig& c) {
                        c.startUnlocked = true;
                        c.versionMajor = 0;
                        c.versionMinor = 0x50;
                    }),
                    0, 1, 0, 0, true},
        // A refused update mode stays a failure: the camera is not reported as unlocked.
        OutcomeCase{"UsbUpdateModeRefused", PORT_USB, USB_DEVICE_1.c_str(),
                    Config([](sim::CameraConfig& c) { c.faults.refuseCommand = 0x8D; }), 0, 1, 4, 0, false},
        // Six probes of two single status requests each.
        OutcomeCase{"UsbSilent", PORT_USB, USB_DEVICE_1.c_str(), SILENT, CODE_USB_PROBE_FAILED, 1, 12, 0,
                    false}),
    [](const ::testing::TestParamInfo<OutcomeCase>& param) { return param.param.name; });

TEST_F(SearchTest, AutoTriesComPortsInOrderAndFindsTheCameraOnCom3) {
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM3");
    m_devices.AttachSerialCamera("COM2", SILENT);
    Search(PORT_AUTO);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
    std::vector<std::string> serialOpens;
    for (const std::string& name : m_devices.OpenAttempts()) {
        if (name.rfind("COM", 0) == 0) {
            serialOpens.push_back(name);
        }
    }
    EXPECT_EQ(serialOpens, (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    EXPECT_TRUE(camera.Unlocked());
    EXPECT_EQ(m_info.version, camera.VersionWord());
    EXPECT_EQ(m_session.m_speedCode, 1);  // back at 9600 for the download
    EXPECT_NE(m_session.m_hSerial, nullptr);
    // COM2's silent device: access string, then 500 + 2000 ms of read and pause before the status
    // request.
    const auto access = HostWrites("COM2");
    const auto status = CommandWrites("COM2", 0x7F);
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
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), 1u);
    // The only speed command of the search is the final switch to 9600.
    const auto speeds = CommandWrites("COM1", 0x41);
    ASSERT_EQ(speeds.size(), 1u);
    EXPECT_EQ(speeds[0].bytes[2], 0x96);
    EXPECT_EQ(m_session.m_cameraSpeed, 1);
}

TEST_F(WakeAfterSpeedChangeTest, LineResetWithATargetSpeedSwitchesCameraAndLineToIt) {
    OpenSerial();
    m_session.m_targetSpeed = 2;
    EXPECT_EQ(m_session.WakeCamera(1), 0);
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), 1u);
    const auto speeds = CommandWrites("COM1", 0x41);
    ASSERT_EQ(speeds.size(), 1u);
    EXPECT_EQ(speeds[0].bytes[2], 0x19);
    EXPECT_EQ(m_session.m_speedCode, 2);
    EXPECT_EQ(m_camera->SpeedCode(), 2);
    EXPECT_EQ(m_session.m_commandAttempts, 3);
}

TEST_F(SearchTest, AnsweringCameraIsSwitchedWithoutALineResetAndANotReadyOneIsReportedAtOnce) {
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM1");
    OpenSerial();
    m_session.m_targetSpeed = 5;
    m_session.m_cameraSpeed = 1;
    EXPECT_EQ(m_session.WakeCamera(1), 0);
    EXPECT_EQ(CodesOn(camera), (Codes{0x7F, 0x41, 0x7F}));
    EXPECT_EQ(camera.SpeedCode(), 5);
    EXPECT_EQ(m_session.m_speedCode, 5);

    m_devices.AttachSerialCamera("COM2", Config([](sim::CameraConfig& c) { c.state = 3; }));
    m_session.m_portKind = PORT_KIND_SERIAL;
    ASSERT_EQ(m_session.OpenSerialPort(2), 0);
    EXPECT_EQ(m_session.WakeCamera(1), RESULT_NOT_READY);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_CAMERA_NOT_READY);
    EXPECT_EQ(CountWireKind(sim::WireKind::BreakOn), 0u);
}

TEST_F(SearchTest, EndSessionReportsTheResetOnSerialButNeverFailsOverUsb) {
    const sim::CameraConfig refuseReset = Config([](sim::CameraConfig& c) { c.faults.refuseCommand = 0xAE; });
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
