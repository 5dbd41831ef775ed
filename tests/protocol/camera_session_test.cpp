// The camera search on every port choice, the pauses of the serial sequence, the wake-up with its line
// reset and speed switch, the USB probe and unlock, and the end of the session, against the camera model
// in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "protocol/camera_session.h"
#include "tests/protocol/protocol_fixture.h"

namespace {

using qxtest::UNTOUCHED;
using qxtest::USB_DEVICE_1;
using SearchTest = qxtest::VirtualSessionTest;

sim::CameraConfig Config(void (*change)(sim::CameraConfig&)) {
    sim::CameraConfig config;
    change(config);
    return config;
}

struct OutcomeCase {
    const char* name;
    int16_t port;
    const char* device;  // where the camera is, or nullptr
    sim::CameraConfig config;
    int16_t code;
    int32_t notIdentified;
    const char* codes;  // the commands sent
    size_t breaks;
    bool linkHeld;
};

class SearchOutcomeTest : public SearchTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(SearchOutcomeTest, ResultFlagCommandsAndLinkFollowTheCamera) {
    const OutcomeCase& c = GetParam();
    sim::CameraModel* camera = nullptr;
    if (c.device != nullptr) {
        camera = std::string(c.device) == USB_DEVICE_1 ? &m_devices.AttachUsbCamera(c.device, c.config)
                                                       : &m_devices.AttachSerialCamera(c.device, c.config);
    }
    Search(c.port);
    EXPECT_EQ(m_session.GetResultCode(), c.code);
    EXPECT_EQ(m_notIdentified, c.notIdentified);
    EXPECT_EQ(CodesSent(), c.codes);
    EXPECT_EQ(Breaks(), c.breaks);
    EXPECT_EQ(m_session.m_sendBuffer != nullptr, c.linkHeld);
    EXPECT_EQ(m_session.m_firmwareVersion, m_info.version);
    if (c.code != 0 || c.notIdentified != 0) {
        return;
    }
    EXPECT_TRUE(camera->Unlocked());
    EXPECT_EQ(m_info.version, camera->VersionWord());
    EXPECT_EQ(m_info.counter, 1234);
    EXPECT_EQ(std::string(m_text).substr(0, 16), "Corva QX410 Zoom");
    if (c.device == USB_DEVICE_1) {  // the handle is held only per operation
        EXPECT_EQ(m_session.m_hUsb, nullptr);
        EXPECT_NE(m_session.m_devicePath[0], '\0');
    }
}

const sim::CameraConfig SILENT = Config([](sim::CameraConfig& c) { c.faults.silent = true; });
const char* const USB = USB_DEVICE_1.c_str();

// clang-format off
INSTANTIATE_TEST_SUITE_P(Outcomes, SearchOutcomeTest, ::testing::Values(
    // The AUTO probe's sign-off finds the handle already released: it closes the device without reaching
    // the camera, and the USB sequence identifies the camera again.
    OutcomeCase{"AutoOnUsb", PORT_AUTO, USB, {}, 0, 0, "7F 96 7F*2 96 7F*2 96 7F 96 8D", 0, true},
    OutcomeCase{"Usb", PORT_USB, USB, {}, 0, 0, "7F 96 7F*2 96 7F 96 8D", 0, true},
    // Flag bit 3 spares the follow-up command but leaves the record valid.
    OutcomeCase{"UsbFollowedUp", PORT_USB, USB, Config([](sim::CameraConfig& c) { c.flags = 0x88; }), 0, 0,
                "7F*3 8D", 0, true},
    OutcomeCase{"PortThatCannotOpen", 5, nullptr, {}, CODE_TRANSFER_FAILED, UNTOUCHED, "", 0, false},
    OutcomeCase{"NothingAnywhere", PORT_AUTO, nullptr, {}, CODE_TRANSFER_FAILED, UNTOUCHED, "", 0, false},
    // One status request, one line reset, one more request: camera not ready.
    OutcomeCase{"SilentSerialDevice", 5, "COM5", SILENT, CODE_NOT_READY, 1, "7F*2", 1, false},
    // A camera that answers but is not ready is reported at once, without a line reset.
    OutcomeCase{"NotReadySerialCamera", 5, "COM5", Config([](sim::CameraConfig& c) { c.state = 3; }),
                CODE_NOT_READY, 1, "7F", 0, false},
    // A camera whose update mode is still open answers the access string at once; with the version not
    // yet read the updater expects the reply of cameras below 0x506.
    OutcomeCase{"AlreadyUnlocked", 2, "COM2", Config([](sim::CameraConfig& c) {
                    c.startUnlocked = true;
                    c.versionMajor = 0;
                    c.versionMinor = 0x50;
                }), 0, 1, "", 0, true},
    // A refused update mode stays a failure: the camera is not reported as unlocked.
    OutcomeCase{"UsbUpdateModeRefused", PORT_USB, USB, Config([](sim::CameraConfig& c) {
                    c.faults.refuseCommand = 0x8D;
                }), 0, 1, "7F 96 7F*2 96 7F 96 8D", 0, false},
    // The first status request runs past the driver's request limit, which closes the connection: the
    // second request fails without reaching the camera, and so does the probe's next descriptor request.
    OutcomeCase{"UsbSilent", PORT_USB, USB, SILENT, CODE_NOT_READY, 1, "7F", 0, false}),
    [](const auto& param) { return std::string(param.param.name); });
// clang-format on

// The device cannot be reopened for the camera's record after the probe: no version is made up. The
// camera stays unidentified, the device is let go, and the search ends with the failed reopen, which
// the workflow reports as a camera not found.
TEST_F(SearchTest, UsbRecordThatCannotBeReadLeavesTheCameraUnidentified) {
    m_devices.AttachUsbCamera(USB_DEVICE_1);
    m_session.m_portKind = PORT_KIND_USB;
    ASSERT_EQ(m_session.Identify(), 0);
    const auto& log = m_devices.WireLog();
    const auto probeRequests = std::count_if(
        log.begin(), log.end(), [](const sim::WireRecord& r) { return r.kind == sim::WireKind::UsbRequest; });

    sim::VirtualDevices devices{m_clock};
    sim::UsbFaults gone;
    gone.dropAtRequest = static_cast<uint32_t>(probeRequests) + 1;
    devices.AttachUsbCamera(USB_DEVICE_1, {}, gone);
    CCameraSession session{devices};
    CameraInfo info;
    session.SearchCamera(PORT_USB, &info, &m_name, &m_notIdentified);
    EXPECT_EQ(session.GetResultCode(), CODE_TRANSFER_FAILED);
    EXPECT_EQ(m_notIdentified, 1);
    EXPECT_EQ(info.version, 0u);
    EXPECT_EQ(session.m_firmwareVersion, 0u);
    EXPECT_EQ(session.m_devicePath[0], '\0');
    EXPECT_EQ(session.m_sendBuffer, nullptr);
}

TEST_F(SearchTest, AutoGoesPastASilentCom2ToTheCameraOnCom3) {
    m_devices.AttachSerialCamera("COM3");
    m_devices.AttachSerialCamera("COM2", SILENT);
    Search(PORT_AUTO);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
    EXPECT_EQ(m_session.m_speedCode, 1);  // back at 9600 for the download
    EXPECT_NE(m_session.m_hSerial, nullptr);
    // COM2: access string, then 500 + 2000 ms of read and pause and 2000 ms more before the status request.
    const auto status = CommandWrites("COM2", 0x7F);
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status[0].timeMs - HostWrites("COM2")[0].timeMs, 500u + 2000u + 2000u);
}

// A search whose waits are cut (an interrupt) ends without opening a serial port or sending a byte, on
// every port choice; restored, the same session finds the camera.
class CutSearchTest : public SearchTest, public ::testing::WithParamInterface<int16_t> {};

TEST_P(CutSearchTest, SendsNothingAndFindsTheCameraOnceRestored) {
    const int16_t port = GetParam();
    m_devices.AttachSerialCamera("COM1");
    m_devices.AttachUsbCamera(USB_DEVICE_1);
    CutWaits();
    Search(port);
    RestoreWaits();
    EXPECT_NE(m_session.GetResultCode(), 0);
    EXPECT_NE(m_notIdentified, 0);  // never reported identified
    EXPECT_TRUE(HostWrites("").empty());
    EXPECT_EQ(m_session.m_hSerial, nullptr);
    Search(port);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
}

INSTANTIATE_TEST_SUITE_P(Ports, CutSearchTest, ::testing::Values(PORT_AUTO, int16_t{1}, PORT_USB));

// Every pause of the serial sequence, measured from the camera's last byte to the next command packet
// or access string: info, name, 9600 baud, update mode, access exchange.
TEST_F(SearchTest, SerialSequenceKeepsItsPausesBetweenSteps) {
    m_devices.AttachSerialCamera("COM1");
    m_session.SearchCamera(1, nullptr, nullptr, &m_notIdentified);  // no records wanted: a full search still
    ASSERT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_notIdentified, 0);
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

// A camera left at 115200 baud by an earlier session: the first status request goes unheard and the line
// reset brings it back to 9600, or to the target speed when there is one; a camera that answers is
// switched without a line reset.
TEST_F(SearchTest, WakeResetsTheLineOnlyForACameraThatDoesNotAnswer) {
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM1");
    OpenSerial();
    ASSERT_EQ(m_session.ChangeSpeed(5), 0);
    m_session.CloseSerialPort();
    m_devices.ClearWireLog();
    m_session.m_cameraSpeed = 0;  // as in a new session
    Search(1);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(Breaks(), 1u);
    EXPECT_EQ(CodesSent(), "7F*2 96 7F 96 41 8D");  // no speed command but the final one

    ASSERT_EQ(m_session.ChangeSpeed(5), 0);
    m_session.CloseSerialPort();
    OpenSerial();
    m_devices.ClearWireLog();
    m_session.m_targetSpeed = 2;
    EXPECT_EQ(m_session.WakeCamera(WakeMode::SwitchSpeed), 0);
    EXPECT_EQ(Breaks(), 1u);
    EXPECT_EQ(CodesSent(), "7F*2 41 7F");
    EXPECT_EQ(camera.SpeedCode(), 2);
    EXPECT_EQ(m_session.m_commandAttempts, 3);

    m_devices.ClearWireLog();
    m_session.m_targetSpeed = 5;
    EXPECT_EQ(m_session.WakeCamera(WakeMode::SwitchSpeed), 0);
    EXPECT_EQ(CodesSent(), "7F 41 7F");
    EXPECT_EQ(Breaks(), 0u);
    EXPECT_EQ(camera.SpeedCode(), 5);
    EXPECT_EQ(m_session.m_speedCode, 5);
}

TEST_F(SearchTest, EndSessionReportsTheResetOnSerialButNeverFailsOverUsb) {
    const sim::CameraConfig refuseReset = Config([](sim::CameraConfig& c) { c.faults.refuseCommand = 0xAE; });
    FindCamera(1, refuseReset);
    m_session.EndSession();
    EXPECT_EQ(m_session.GetResultCode(), CODE_TRANSFER_FAILED);
    EXPECT_EQ(m_session.m_hSerial, nullptr);

    FindCamera(PORT_USB, refuseReset);
    m_session.EndSession();
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(CodesSent(), "AE 97");  // the refused reset, then the sign-off
    EXPECT_EQ(m_session.m_devicePath[0], '\0');
}

}  // namespace
