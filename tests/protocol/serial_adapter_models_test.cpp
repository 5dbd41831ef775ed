// The serial link behind the simulator's adapter models, in virtual time: what the camera search and the
// download give behind an FTDI adapter's latency timer, an adapter without a line break, a flow-control
// hold and a byte that arrives after the host gave up on it; and the cause each failure names.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/observed_devices.h"
#include "protocol/camera_session.h"
#include "tests/protocol/protocol_fixture.h"
#include "wire/byte_codes.h"

namespace {

// A camera that sends its bytes at the line rate, as a real one does: only then does an adapter's
// timer split its packets.
sim::CameraConfig PacedCamera() {
    sim::CameraConfig config;
    config.pacing = true;
    return config;
}

sim::AdapterModel Model(const char* text, bool reportsFacts = true) {
    sim::AdapterModel model = *sim::ParseAdapterModel(text);
    model.reportsFacts = reportsFacts;
    return model;
}

std::vector<uint8_t> Payload() {
    std::vector<uint8_t> payload(wire::FIRMWARE_PAYLOAD_SIZE);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>((i * 131) ^ (i >> 8));
    }
    return payload;
}

struct SearchCase {
    const char* name;
    const char* adapter;
    bool reportsFacts;  // the port tells its driver and timer, as sysfs does for a real adapter
    bool leftAt115200;  // an earlier session left the camera at 115200 baud
    bool flowControlHeld;
    bool found;
    LinkCause cause;
};

class AdapterSearchTest : public qxtest::VirtualSessionTest,
                          public ::testing::WithParamInterface<SearchCase> {};

// A search on COM1 behind the adapter: found with the camera's status read, or not found with the
// adapter's part named.
TEST_P(AdapterSearchTest, FindsTheCameraOrNamesTheAdapter) {
    const SearchCase& c = GetParam();
    sim::SerialPortFaults faults;
    faults.flowControlHeld = c.flowControlHeld;
    sim::CameraModel& camera =
        m_devices.AttachSerialCamera("COM1", PacedCamera(), faults, Model(c.adapter, c.reportsFacts));
    if (c.leftAt115200) {
        // The camera switched to 115200 on an earlier session's command and was left there.
        OpenSerial();
        ASSERT_EQ(m_session.ChangeSpeed(5), 0);
        m_session.CloseSerialPort();
        ASSERT_EQ(camera.SpeedCode(), 5);
        m_session.m_cameraSpeed = 0;
    }
    Search(1);
    EXPECT_EQ(m_session.GetResultCode() == 0, c.found);
    EXPECT_EQ(m_session.m_cause, c.cause);
    if (c.found) {
        EXPECT_EQ(m_notIdentified, 0);
        EXPECT_EQ(m_info.version, 0x01000600u);
        EXPECT_EQ(std::string(m_text, 16), "Corva QX410 Zoom");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, AdapterSearchTest,
    ::testing::Values(
        SearchCase{"Pty", "pty", true, false, false, true, LinkCause::None},
        SearchCase{"Ftdi1", "ftdi:1", true, false, false, true, LinkCause::None},
        SearchCase{"Ftdi16", "ftdi:16", true, false, false, true, LinkCause::None},
        SearchCase{"Ftdi25", "ftdi:25", true, false, false, true, LinkCause::None},
        SearchCase{"Ftdi16LeftAt115200", "ftdi:16", true, true, false, true, LinkCause::None},
        // A timer at or above the 30 ms inter-byte rule cuts every status packet.
        SearchCase{"Ftdi40Known", "ftdi:40", true, false, false, false, LinkCause::AdapterLatency},
        // The timer unknown (another driver, no sysfs): the packet's bursts give it away.
        SearchCase{"Ftdi32Seen", "ftdi:32", false, false, false, false, LinkCause::AdapterLatency},
        SearchCase{"Ftdi40Seen", "ftdi:40", false, false, false, false, LinkCause::AdapterLatency},
        // A camera at 9600 needs no break: these adapters find it.
        SearchCase{"NoBreakAt9600", "no-break", true, false, false, true, LinkCause::None},
        SearchCase{"FakeBreakAt9600", "fake-break", true, false, false, true, LinkCause::None},
        // Left at 115200, the camera is woken only by a break.
        SearchCase{"PtyAt115200", "pty", true, true, false, true, LinkCause::None},
        SearchCase{"NoBreakAt115200", "no-break", true, true, false, false, LinkCause::BreakNotSent},
        SearchCase{"FakeBreakAt115200", "fake-break", true, true, false, false, LinkCause::BreakNotSent},
        // A faked break that nothing reveals: the camera is not found, with no cause.
        SearchCase{"FakeBreakUnknownAt115200", "fake-break", false, true, false, false, LinkCause::None},
        SearchCase{"FlowControlHeld", "pty", true, false, true, false, LinkCause::FlowControlHeld}),
    [](const ::testing::TestParamInfo<SearchCase>& param) { return std::string(param.param.name); });

using AdapterWakeTest = qxtest::VirtualSessionTest;

// The refused break is asked for once, and the wake-up carries on through its pauses and the status
// request at 9600 as it would after a break that was sent.
TEST_F(AdapterWakeTest, RefusedBreakStillRunsTheWholeWakeUp) {
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM1", PacedCamera(), {}, Model("no-break"));
    OpenSerial();
    ASSERT_EQ(m_session.ChangeSpeed(5), 0);
    m_session.CloseSerialPort();
    OpenSerial();  // the line at 9600, the camera still at 115200
    m_devices.ClearWireLog();
    m_session.m_targetSpeed = 5;
    EXPECT_NE(m_session.WakeCamera(WakeMode::SwitchSpeed), 0);
    EXPECT_EQ(Breaks(), 0u);
    EXPECT_EQ(CodesSent(), "7F*2");  // before and after the (refused) break, both unheard at 9600
    EXPECT_EQ(camera.SpeedCode(), 5);
    EXPECT_EQ(m_session.m_cause, LinkCause::BreakNotSent);
    EXPECT_EQ(m_session.m_systemError, ENOTTY);
}

struct DownloadCase {
    const char* name;
    const char* adapter;
};

class AdapterDownloadTest : public qxtest::VirtualSessionTest,
                            public ::testing::WithParamInterface<DownloadCase> {};

// A whole serial download behind the adapter writes the flash as on a plain line; the latency timer
// only makes it slower.
TEST_P(AdapterDownloadTest, WritesTheWholeFlash) {
    const DownloadCase& c = GetParam();
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM1", PacedCamera(), {}, Model(c.adapter));
    Search(1);
    ASSERT_EQ(m_session.GetResultCode(), 0);
    const std::vector<uint8_t> payload = Payload();
    m_session.DownloadFirmware(payload.data(), nullptr);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), camera.Flash().begin()));
    EXPECT_EQ(camera.BlocksWritten().size(), 4096u);
    EXPECT_EQ(camera.ChecksumReceived(), camera.ChecksumComputed());
}

INSTANTIATE_TEST_SUITE_P(Models, AdapterDownloadTest,
                         ::testing::Values(DownloadCase{"Pty", "pty"}, DownloadCase{"Ftdi1", "ftdi:1"},
                                           DownloadCase{"Ftdi16", "ftdi:16"},
                                           DownloadCase{"Ftdi25", "ftdi:25"}),
                         [](const ::testing::TestParamInfo<DownloadCase>& param) {
                             return std::string(param.param.name);
                         });

struct LateCase {
    const char* name;
    const char* adapter;
    size_t commandsSent;  // of the late command's code, in the search and the download
    bool completes;       // the download reports success
    size_t blocksWritten;
};

class LateByteTest : public qxtest::VirtualSessionTest, public ::testing::WithParamInterface<LateCase> {};

// The acknowledgement of a command reaches the host 20 ms after its read timed out. The command is sent
// once more at once (no purge comes between), the late byte is taken as the second one's answer, and the
// update either completes with the flash right or fails; it never reports a block the camera did not
// take, nor success without the camera's checksum verdict.
TEST_P(LateByteTest, IsTakenAsTheRepeatedCommandsAnswer) {
    const LateCase& c = GetParam();
    sim::CameraModel& camera = m_devices.AttachSerialCamera("COM1", PacedCamera(), {}, Model(c.adapter));
    Search(1);
    ASSERT_EQ(m_session.GetResultCode(), 0);
    const std::vector<uint8_t> payload = Payload();
    m_session.DownloadFirmware(payload.data(), nullptr);
    const uint8_t code = sim::ParseAdapterModel(c.adapter)->lateCommand;
    EXPECT_EQ(CommandWrites("COM1", code).size(), c.commandsSent);
    EXPECT_EQ(m_session.GetResultCode() == 0, c.completes);
    EXPECT_EQ(camera.BlocksWritten().size(), c.blocksWritten);
    EXPECT_EQ(camera.DataPacketsRefused(), 0u);
    if (c.completes) {
        EXPECT_TRUE(camera.Flash() == payload);
        EXPECT_EQ(camera.ChecksumReceived(), camera.ChecksumComputed());
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, LateByteTest,
                         ::testing::Values(LateCase{"StatusAck", "late-byte:7f", 3, true, 4096},
                                           LateCase{"WriteAck", "late-byte:1d", 4097, true, 4096},
                                           LateCase{"EraseAck", "late-byte:1e", 2, false, 0},
                                           LateCase{"ChecksumAck", "late-byte:21", 2, false, 4096}),
                         [](const ::testing::TestParamInfo<LateCase>& param) {
                             return std::string(param.param.name);
                         });

class SilentObserver final : public platform::ILinkObserver {
  public:
    void OnBytes(bool, const uint8_t*, size_t) override {}
    void OnEvent(const std::string&) override {}
};

// A traced link (the command line's --trace) reaches the same adapter: the latency timer, the flow-control
// hold and the cause come through the observing devices.
TEST_F(AdapterWakeTest, TracedLinkSeesTheSameAdapter) {
    sim::SerialPortFaults faults;
    faults.flowControlHeld = true;
    m_devices.AttachSerialCamera("COM1", PacedCamera(), faults, Model("ftdi:40"));
    SilentObserver observer;
    const std::unique_ptr<platform::IDevices> traced = platform::ObserveDevices(m_devices, observer);
    CCameraSession session(*traced);
    session.m_portKind = PORT_KIND_SERIAL;
    ASSERT_EQ(session.OpenSerialPort(1), LINK_OK);
    EXPECT_EQ(session.m_serialAdapter.facts.driver, "ftdi_sio");
    EXPECT_EQ(session.m_serialAdapter.facts.latencyTimerMs, 40);
    EXPECT_TRUE(session.m_serialAdapter.flowControlHeld);
    EXPECT_EQ(session.SerialAdapterCause(), LinkCause::FlowControlHeld);
}

}  // namespace
