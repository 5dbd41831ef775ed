// End to end over a real pseudo-terminal: the updater's camera session on the machine's devices against
// the camera simulator program published as COMn, on the real clock.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/devices.h"
#include "protocol/camera_session.h"
#include "tests/e2e/e2e_support.h"
#include "wire/byte_codes.h"

namespace e2e {
namespace {

using SerialEndToEnd = SimulatorTest;

TEST_F(SerialEndToEnd, AutoSearchSkipsMissingPortsAndFindsTheCameraOnCom3) {
    StartSimulator({"--serial", "3"}, "COM3");
    ASSERT_TRUE(PointNowhere(DeviceDir(), 3));
    CCameraSession session(platform::SystemDevices());

    ExpectFound(session, PORT_AUTO);
    session.EndSession();
    EXPECT_EQ(session.GetResultCode(), 0);

    const SimSummary summary = StopSimulator();
    // Identified at 9600 (status, name), back to 9600 by command, update mode, then the end's reset.
    ASSERT_FALSE(summary.codes.empty());
    EXPECT_EQ(summary.codes.front(), 0x7F);
    // Missing ports cost nothing: the first command comes after COM3's own pauses (500 ms, the access
    // exchange's 500 ms and 2 s read, 2 s) and nothing more.
    EXPECT_LT(summary.commands.front().timeMs, 6000u);
    EXPECT_EQ(summary.codes.back(), 0xAE);
    EXPECT_EQ(std::ranges::count(summary.codes, 0x8D), 1);
    EXPECT_EQ(summary.Value("access-strings"), "2");  // once right after the open, once after 0x8D
    EXPECT_EQ(summary.Value("reset"), "yes");
    EXPECT_EQ(summary.Value("erase-commands"), "0");
    EXPECT_EQ(summary.Value("speeds-used"), "1");
}

// A block refused five times fails the download at that block: the callback sees its progress event and
// the failure, and neither the checksum nor the reset is sent.
TEST_F(SerialEndToEnd, ExplicitPortDownloadFailingAtBlock99StopsBeforeChecksumAndReset) {
    StartSimulator({"--serial", "5", "--refuse-block", "99:5"}, "COM5");
    CCameraSession session(platform::SystemDevices());
    ExpectFound(session, 5);

    const std::vector<uint8_t> payload = MakePayload(99);
    session.DownloadFirmware(payload.data(), RecordStatus);
    EXPECT_NE(session.GetResultCode(), 0);

    const std::vector<StatusEvent>& events = RecordedEvents();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front(), StatusEvent(STATUS_START, 0, 0));
    EXPECT_EQ(events[events.size() - 2], StatusEvent(STATUS_PROGRESS, 2, 0));
    EXPECT_EQ(events.back(), StatusEvent(STATUS_FAILED, 2, 0));
    EXPECT_EQ(std::ranges::count_if(events, [](const auto& e) { return std::get<0>(e) == STATUS_PROGRESS; }),
              100);

    const SimSummary summary = StopSimulator();
    EXPECT_EQ(std::ranges::count(summary.codes, 0x1D), 100);
    EXPECT_EQ(std::ranges::count(summary.codes, 0x21), 0);
    EXPECT_EQ(std::ranges::count(summary.codes, 0xAE), 0);
    ASSERT_FALSE(summary.commands.empty());
    const SeenCommand& last = summary.commands.back();
    EXPECT_EQ(last.code, 0x1D);
    EXPECT_EQ(last.params[1] * 256 + last.params[2], 99);  // block number in bytes 2-3
    EXPECT_EQ(summary.Value("blocks-written"), "99");
    EXPECT_EQ(summary.Value("data-packets-refused"), "5");
    EXPECT_EQ(summary.Value("checksum-received"), "none");
    EXPECT_EQ(summary.Value("reset"), "no");
    // 9600 during the search, then 115200 twice around the erase; the failure skips the return to 9600.
    EXPECT_EQ(summary.Value("speeds-used"), "1 5 5");
}

// A camera that switched to another rate than the one commanded is brought back by the line reset's
// break. Behind an adapter that fakes its breaks with a NUL at 46 baud the camera stays where it is and
// the wake-up fails (over a pty the program cannot tell why); the simulator's log shows the NUL.
TEST_F(SerialEndToEnd, FakedBreakDoesNotBringTheCameraBack) {
    StartSimulator({"--serial", "6", "--speed-fault", "elsewhere", "--adapter", "fake-break"}, "COM6");
    CCameraSession session(platform::SystemDevices());
    session.m_portKind = PORT_KIND_SERIAL;
    ASSERT_EQ(session.OpenSerialPort(6), LINK_OK);
    ASSERT_EQ(session.ChangeSpeed(5), 0);
    session.m_targetSpeed = 5;
    EXPECT_NE(session.WakeCamera(WakeMode::SwitchSpeed), 0);
    session.CloseSerialPort();
    StopSimulator();
    const std::vector<uint8_t> log = ReadFile(TempFile("wire.log"));
    EXPECT_NE(std::string(log.begin(), log.end()).find("a NUL at 46 baud instead of a break"),
              std::string::npos);
}

struct AdapterCase {
    const char* name;
    const char* adapter;
    bool found;
};

class SerialAdapterEndToEnd : public SimulatorTest, public ::testing::WithParamInterface<AdapterCase> {};

// Behind a simulated FTDI adapter the camera's bytes come at the line rate in bursts at the latency
// timer's ticks. Below the 30 ms inter-byte rule the camera is found; above it the status packets are cut
// and the search fails naming the adapter's latency, seen on the wire alone (a pty has no sysfs timer).
TEST_P(SerialAdapterEndToEnd, SearchFindsTheCameraOrNamesTheLatency) {
    const AdapterCase& c = GetParam();
    StartSimulator({"--serial", "4", "--pace", "--adapter", c.adapter}, "COM4");
    CCameraSession session(platform::SystemDevices());
    if (c.found) {
        ExpectFound(session, 4);
        EXPECT_EQ(session.m_cause, LinkCause::None);
    } else {
        CameraInfo info;
        session.SearchCamera(4, &info, nullptr, nullptr);
        EXPECT_NE(session.GetResultCode(), 0);
        EXPECT_EQ(session.m_cause, LinkCause::AdapterLatency);
    }
    session.EndSession();
    StopSimulator();
}

INSTANTIATE_TEST_SUITE_P(Adapters, SerialAdapterEndToEnd,
                         ::testing::Values(AdapterCase{"Ftdi16", "ftdi:16", true},
                                           AdapterCase{"Ftdi25", "ftdi:25", true},
                                           AdapterCase{"Ftdi32", "ftdi:32", false}),
                         [](const ::testing::TestParamInfo<AdapterCase>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
}  // namespace e2e
