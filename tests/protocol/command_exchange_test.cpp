// The command exchange against the camera model in virtual time: packet bytes, attempts, refusals, busy
// bytes, the 100 ms spacing, the 3000 ms pauses, data packet retries, the access exchange and the
// result code table.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/camera_session.h"
#include "tests/protocol/protocol_fixture.h"

namespace {

using qxtest::VirtualSessionTest;

struct ResultCase {
    int32_t status;
    int16_t code;
};

class ToResultCodeTest : public VirtualSessionTest, public ::testing::WithParamInterface<ResultCase> {};

TEST_P(ToResultCodeTest, ConvertsAndClearsTheStatus) {
    m_session.m_result = GetParam().status;
    m_session.ToResultCode();
    EXPECT_EQ(m_session.m_resultCode, GetParam().code);
    EXPECT_EQ(m_session.m_result, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, ToResultCodeTest,
                         ::testing::Values(ResultCase{0, 0}, ResultCase{1, -1000}, ResultCase{2, -1011},
                                           ResultCase{3, -1006}, ResultCase{4, -1006}, ResultCase{7, -1006},
                                           ResultCase{8, -1006}, ResultCase{17, -1006}, ResultCase{10, -1004},
                                           ResultCase{14, -1002}, ResultCase{18, -1002},
                                           ResultCase{15, -1022}, ResultCase{20, -1009},
                                           ResultCase{21, -1029}, ResultCase{13, -1020}, ResultCase{9, -1020},
                                           ResultCase{-1, -1020}));

class SerialExchangeTest : public VirtualSessionTest {
  protected:
    sim::CameraModel* m_camera = nullptr;
    void SetUp() override {
        sim::CameraConfig config;
        config.startUnlocked = true;
        m_camera = &m_devices.AttachSerialCamera("COM1", config);
        OpenSerial(1);
    }
};

TEST_F(SerialExchangeTest, CommandPacketIsEightBytesWithTerminator) {
    EXPECT_EQ(m_session.WriteBlock(std::vector<uint8_t>(256, 0x11).data(), 0x0203), 0);
    const auto packets = CommandWrites("COM1", 0x1D);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].bytes, (std::vector<uint8_t>{0x1D, 0, 0x02, 0x03, 0, 0x01, 0, 0x1A}));
    EXPECT_EQ(m_camera->BlocksWritten(), std::vector<uint32_t>{0x0203});
}

TEST_F(SerialExchangeTest, FirstCommandWaitsTwoHundredMsAfterTheOpen) {
    const uint32_t opened = m_clock.ReadMs();
    m_session.RequestUpdateMode();
    const auto packets = CommandWrites("COM1", 0x8D);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_GE(packets[0].timeMs - opened, 200u);
}

TEST_F(SerialExchangeTest, BusyBytesBeforeTheAcknowledgementAreSkipped) {
    m_camera->Faults().busy.push_back({0x8D, sim::ReplyPoint::Ack, 1500, false});
    EXPECT_EQ(m_session.RequestUpdateMode(), 0);
    EXPECT_EQ(CommandWrites("COM1", 0x8D).size(), 1u);
}

TEST_F(SerialExchangeTest, RefusedCommandIsSentOnceEvenWithThreeAttempts) {
    m_camera->Faults().refuseCommand = 0x8D;
    ASSERT_EQ(m_session.m_commandAttempts, 3);
    EXPECT_EQ(m_session.RequestUpdateMode(), RESULT_REFUSED);
    EXPECT_EQ(CommandWrites("COM1", 0x8D).size(), 1u);
}

struct SilenceCase {
    int16_t attempts;
    uint8_t code;
    size_t sendings;
    uint32_t gapMs;  // packet to packet
};

class SilentCameraTest : public SerialExchangeTest, public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(SilentCameraTest, PacketIsRepeatedUpToTheAttemptsThenFailsWithSeven) {
    m_camera->Faults().silent = true;
    m_session.m_commandAttempts = GetParam().attempts;
    m_session.BeginCommand();
    m_session.m_command[0] = GetParam().code;
    EXPECT_EQ(m_session.SendCommand(), RESULT_NO_REPLY);
    const auto packets = CommandWrites("COM1", GetParam().code);
    ASSERT_EQ(packets.size(), GetParam().sendings);
    for (size_t i = 1; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].timeMs - packets[i - 1].timeMs, GetParam().gapMs);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Attempts, SilentCameraTest,
    ::testing::Values(SilenceCase{3, 0x8D, 3, 3000}, SilenceCase{0, 0x8D, 1, 0}, SilenceCase{1, 0x8D, 1, 0},
                      // Checksum and reset pause 3000 ms before every acknowledgement read.
                      SilenceCase{3, 0x21, 3, 6000}, SilenceCase{3, 0xAE, 3, 6000}));

TEST_F(SerialExchangeTest, ChecksumAndResetReadTheirAcknowledgementOnlyAfterThreeSeconds) {
    const uint32_t before = m_clock.ReadMs();
    EXPECT_EQ(m_session.SendChecksum(0), 0);
    // 200 ms open spacing + 3000 ms pause + 2000 ms after the acknowledgement, then the completion.
    EXPECT_GE(m_clock.ReadMs() - before, 5000u);
    const uint32_t resetStart = m_clock.ReadMs();
    EXPECT_EQ(m_session.SendReset(), 0);
    EXPECT_GE(m_clock.ReadMs() - resetStart, 3100u);
}

TEST_F(SerialExchangeTest, CommandsKeepOneHundredMsFromTheEndOfTheLastExchange) {
    EXPECT_EQ(m_session.RequestUpdateMode(), 0);
    const uint32_t firstEnded = m_session.m_lastExchangeTime;
    EXPECT_EQ(m_session.SendFlagFollowUp(), 0);
    const auto second = CommandWrites("COM1", 0x96);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_GE(second[0].timeMs - firstEnded, 100u);
    EXPECT_LE(second[0].timeMs - firstEnded, 101u);
}

TEST_F(SerialExchangeTest, CompletionWaitSeeingOnlyBusyBytesEndsWithSuccessAfterItsTimeOut) {
    m_camera->Faults().busy.push_back({0x8D, sim::ReplyPoint::Completion, 10000, false});
    m_session.BeginCommand();
    m_session.m_command[0] = 0x8D;
    ASSERT_EQ(m_session.SendCommand(), 0);
    const uint32_t start = m_clock.ReadMs();
    EXPECT_EQ(m_session.AwaitCompletion(3000), 0);
    EXPECT_GT(m_clock.ReadMs() - start, 3000u);
    EXPECT_LT(m_clock.ReadMs() - start, 3200u);
    EXPECT_EQ(m_session.m_lastExchangeTime, m_clock.ReadMs());
}

TEST_F(SerialExchangeTest, EndlessBusyBytesInPlaceOfTheAcknowledgementDoNotHangTheUpdater) {
    m_camera->Faults().busy.push_back({0x8D, sim::ReplyPoint::Ack, 0, true});
    m_session.m_commandAttempts = 0;
    EXPECT_EQ(m_session.RequestUpdateMode(), RESULT_NO_REPLY);
    EXPECT_LE(m_clock.ReadMs(), 1000u + 200u + REPLY_BUSY_LIMIT_MS + 3200u);
}

struct RefusalCase {
    uint32_t refusals;
    int32_t status;
    size_t sendings;
};

class DataPacketRefusalTest : public SerialExchangeTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(DataPacketRefusalTest, RefusedPacketIsSentAgainFiveSendingsInAll) {
    m_camera->Faults().refuseBlock = 7;
    m_camera->Faults().refuseBlockTimes = GetParam().refusals;
    const std::vector<uint8_t> block(256, 0x42);
    EXPECT_EQ(m_session.WriteBlock(block.data(), 7), GetParam().status);
    size_t packets = 0;
    for (const auto& write : HostWrites("COM1")) {
        packets += write.bytes.size() == 257 ? 1 : 0;
    }
    EXPECT_EQ(packets, GetParam().sendings);
    EXPECT_EQ(CommandWrites("COM1", 0x1D).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Refusals, DataPacketRefusalTest,
                         ::testing::Values(RefusalCase{4, 0, 5}, RefusalCase{5, RESULT_REFUSED, 5},
                                           RefusalCase{0, 0, 1}));

TEST_F(SerialExchangeTest, SpeedCommandAfterAFailureOrWithABadCodeSendsNothing) {
    m_session.m_result = RESULT_NO_REPLY;
    EXPECT_EQ(m_session.SetCameraSpeed(5), RESULT_NO_REPLY);
    m_session.m_result = 0;
    EXPECT_EQ(m_session.SetCameraSpeed(6), RESULT_BAD_SPEED);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_BAD_SPEED);
    EXPECT_TRUE(HostWrites("COM1").empty());
    m_session.m_result = 0;
    EXPECT_EQ(m_session.ChangeSpeed(3), 0);
    EXPECT_EQ(CommandWrites("COM1", 0x41)[0].bytes,
              (std::vector<uint8_t>{0x41, 0, 0x38, 0x40, 0, 0, 0, 0x1A}));
    EXPECT_EQ(m_session.m_speedCode, 3);
    EXPECT_EQ(m_session.m_cameraSpeed, 3);
}

struct AccessCase {
    uint8_t versionMinor;  // camera's status byte 3 (byte 2 = 0)
    uint32_t sessionVersion;
    int32_t status;
};

class AccessExchangeTest : public VirtualSessionTest, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(AccessExchangeTest, ReplyExpectedDependsOnTheVersionWord) {
    sim::CameraConfig config;
    config.startUnlocked = true;
    config.versionMajor = 0;
    config.versionMinor = GetParam().versionMinor;
    m_devices.AttachSerialCamera("COM1", config);
    OpenSerial(1);
    m_session.m_firmwareVersion = GetParam().sessionVersion;
    EXPECT_EQ(m_session.AccessExchange(), GetParam().status);
    const auto writes = HostWrites("COM1");
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes[0].bytes, std::vector<uint8_t>(qx::ACCESS_REQUEST, qx::ACCESS_REQUEST + 12));
    const bool acknowledged = writes.back().bytes == std::vector<uint8_t>{0xD1};
    EXPECT_EQ(acknowledged, GetParam().status == 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, AccessExchangeTest,
                         ::testing::Values(AccessCase{0x55, 0x505, 0}, AccessCase{0x56, 0x506, 0},
                                           AccessCase{0x55, 0x506, RESULT_REFUSED},
                                           AccessCase{0x56, 0x505, RESULT_REFUSED}));

TEST_F(VirtualSessionTest, UsbCommandTravelsAtOffsetFour) {
    sim::CameraConfig config;
    config.startUnlocked = true;
    m_devices.AttachUsbCamera(qxtest::USB_DEVICE_1, config);
    m_session.m_portKind = PORT_KIND_USB;
    ASSERT_EQ(m_session.Identify(), 0);
    ASSERT_EQ(m_session.ReopenUsbDevice(), 0);
    m_devices.ClearWireLog();
    EXPECT_EQ(m_session.RequestUpdateMode(), 0);
    const auto packets = CommandWrites(qxtest::USB_DEVICE_1, 0x8D);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].bytes, (std::vector<uint8_t>{0x8D, 0, 0, 0, 0, 0, 0, 0x1A}));
    bool sawTwelveByteWrite = false;
    for (const auto& record : m_devices.WireLog()) {
        sawTwelveByteWrite |=
            record.kind == sim::WireKind::UsbRequest && record.controlCode == 0x22200C && record.length == 12;
    }
    EXPECT_TRUE(sawTwelveByteWrite);
}

TEST(ExchangeWithoutLinkTest, CommandsWithoutAnOpenLinkFailAndTouchNothing) {
    VirtualClock clock;
    ScopedClock scoped(clock);
    qxtest::ScriptedDevices devices(clock);
    CCameraSession session(devices);
    EXPECT_EQ(session.RequestUpdateMode(), LINK_FAILED);
    EXPECT_EQ(session.AccessExchange(), LINK_FAILED);
    session.EndSession();
    EXPECT_NE(session.GetResultCode(), 0);
    EXPECT_TRUE(devices.line->written.empty());
}

}  // namespace
