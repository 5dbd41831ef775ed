// The command exchange against the camera model in virtual time: packet bytes, attempts, refusals, busy
// bytes, the spacing and pauses, data packet retries, the access exchange and the result code table.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "protocol/camera_session.h"
#include "tests/protocol/protocol_fixture.h"

namespace {

using qxtest::VirtualSessionTest;
using Bytes = std::vector<uint8_t>;

TEST_F(VirtualSessionTest, ToResultCodeConvertsByTheTableAndClearsTheStatus) {
    const std::pair<int32_t, int16_t> table[] = {
        {0, 0},      {1, -1000},  {2, -1011},  {3, -1006},  {4, -1006},  {5, -1006},  {6, -1006},
        {7, -1006},  {8, -1006},  {11, -1006}, {12, -1006}, {17, -1006}, {10, -1004}, {14, -1002},
        {18, -1002}, {15, -1022}, {20, -1009}, {21, -1029}, {13, -1020}, {9, -1020},  {-1, -1020}};
    for (const auto& [status, code] : table) {
        m_session.m_result = status;
        m_session.ToResultCode();
        EXPECT_EQ(m_session.m_resultCode, code) << "status " << status;
        EXPECT_EQ(m_session.m_result, 0);
    }
}

class SerialExchangeTest : public VirtualSessionTest {
  protected:
    sim::CameraModel* m_camera = nullptr;
    void SetUp() override { Open(0x55); }
    void Open(uint8_t versionMinor) {  // a camera at 0.0.5.5 unless told otherwise
        sim::CameraConfig config;
        config.startUnlocked = true;
        config.versionMajor = 0;
        config.versionMinor = versionMinor;
        m_camera = &m_devices.AttachSerialCamera("COM1", config);
        OpenSerial();
    }
    int32_t Send(uint8_t code) {
        m_session.BeginCommand();
        m_session.m_command[0] = code;
        return m_session.SendCommand();
    }
};

TEST_F(SerialExchangeTest, EveryCommandPacketCarriesItsParameterBytes) {
    const Bytes block(256, 0x11);
    EXPECT_EQ(m_session.WriteBlock(block.data(), 0x0203), 0);
    EXPECT_EQ(m_session.EraseBlocks(0x30), 0);  // the unit travels over USB only
    m_session.SendChecksum(0x1234);             // the camera's own sum of nothing differs: status 4
    EXPECT_EQ(m_session.ChangeSpeed(3), 0);
    EXPECT_EQ(m_session.ReadStatus(), 0);
    EXPECT_EQ(m_session.RequestUpdateMode(), 0);
    EXPECT_EQ(m_session.SendFlagFollowUp(), 0);
    EXPECT_EQ(m_session.SendSignOff(), 0);
    EXPECT_EQ(m_session.SendReset(), 0);
    std::vector<std::pair<uint8_t, Bytes>> expected = {{0x1D, {0x1D, 0, 0x02, 0x03, 0, 0x01, 0, 0x1A}},
                                                       {0x21, {0x21, 0, 0x00, 0x01, 0x34, 0x12, 0, 0x1A}},
                                                       {0x41, {0x41, 0, 0x38, 0x40, 0, 0, 0, 0x1A}}};
    for (const int c : {0x1E, 0x7F, 0x8D, 0x96, 0x97, 0xAE}) {
        const auto code = static_cast<uint8_t>(c);
        expected.push_back({code, {code, 0, 0, 0, 0, 0, 0, 0x1A}});
    }
    for (const auto& [code, bytes] : expected) {
        const auto packets = CommandWrites("COM1", code);
        ASSERT_EQ(packets.size(), 1u) << int{code};
        EXPECT_EQ(packets[0].bytes, bytes);
    }
    EXPECT_EQ(m_camera->BlocksWritten(), std::vector<uint32_t>{0x0203});
    // The speed command moved camera and line to 38400 baud; the reset took the line back to 9600.
    EXPECT_EQ(m_session.m_cameraSpeed, 3);
    EXPECT_EQ(m_session.m_speedCode, 1);
}

enum class Fault { Silent, Refuse, BusyAck };

struct AttemptCase {
    Fault fault;
    int16_t attempts;
    uint8_t code;
    int32_t status;
    size_t sendings;
    uint32_t gapMs;  // packet to packet
};

class CommandAttemptTest : public SerialExchangeTest, public ::testing::WithParamInterface<AttemptCase> {};

TEST_P(CommandAttemptTest, PacketIsRepeatedOnlyAfterSilenceAndUpToTheAttempts) {
    const AttemptCase& c = GetParam();
    m_camera->Faults().silent = c.fault == Fault::Silent;
    if (c.fault == Fault::Refuse) {
        m_camera->Faults().refuseCommand = c.code;
    }
    if (c.fault == Fault::BusyAck) {
        m_camera->Faults().busy.push_back({c.code, sim::ReplyPoint::Ack, 1500, false});
    }
    m_session.m_commandAttempts = c.attempts;
    EXPECT_EQ(Send(c.code), c.status);
    const auto packets = CommandWrites("COM1", c.code);
    ASSERT_EQ(packets.size(), c.sendings);
    for (size_t i = 1; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].timeMs - packets[i - 1].timeMs, c.gapMs);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Attempts, CommandAttemptTest,
    ::testing::Values(AttemptCase{Fault::Silent, 3, 0x8D, RESULT_NO_REPLY, 3, 3000},
                      AttemptCase{Fault::Silent, 0, 0x8D, RESULT_NO_REPLY, 1, 0},
                      AttemptCase{Fault::Silent, 1, 0x8D, RESULT_NO_REPLY, 1, 0},
                      // Checksum and reset pause 3000 ms before every acknowledgement read.
                      AttemptCase{Fault::Silent, 3, 0x21, RESULT_NO_REPLY, 3, 6000},
                      AttemptCase{Fault::Silent, 3, 0xAE, RESULT_NO_REPLY, 3, 6000},
                      AttemptCase{Fault::Refuse, 3, 0x8D, RESULT_REFUSED, 1, 0},
                      AttemptCase{Fault::BusyAck, 3, 0x8D, RESULT_OK, 1, 0}));

// Speed code 6 is no speed: refused with status 1 and detail 4 before anything goes out, camera and line
// left where they were.
TEST_F(SerialExchangeTest, SpeedCodeOutsideTheTableSendsNothing) {
    EXPECT_EQ(m_session.ChangeSpeed(6), RESULT_BAD_SPEED);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_BAD_SPEED);
    EXPECT_TRUE(HostWrites("COM1").empty());
    EXPECT_EQ(m_session.m_speedCode, 1);
    EXPECT_EQ(m_camera->SpeedCode(), 1);
}

TEST_F(SerialExchangeTest, CommandsKeepTheirSpacingFromTheOpenAndFromTheEndOfTheLastExchange) {
    const uint32_t opened = m_clock.ReadMs();
    EXPECT_EQ(m_session.RequestUpdateMode(), 0);
    const uint32_t firstEnded = m_session.m_lastExchangeTime.ms;
    EXPECT_EQ(m_session.SendFlagFollowUp(), 0);
    EXPECT_EQ(CommandWrites("COM1", 0x8D)[0].timeMs - opened, 200u);
    EXPECT_EQ(CommandWrites("COM1", 0x96)[0].timeMs - firstEnded, 100u);
    // The checksum: 100 ms spacing + 3000 ms pause, then 2000 ms after its acknowledgement.
    const uint32_t before = m_clock.ReadMs();
    m_session.SendChecksum(0);
    EXPECT_GE(m_clock.ReadMs() - before, 5100u);
}

TEST_F(SerialExchangeTest, CompletionWaitSeeingOnlyBusyBytesEndsWithSuccessAfterItsTimeOut) {
    m_camera->Faults().busy.push_back({0x8D, sim::ReplyPoint::Completion, 10000, false});
    ASSERT_EQ(Send(0x8D), 0);
    const uint32_t start = m_clock.ReadMs();
    EXPECT_EQ(m_session.AwaitCompletion(3000), 0);
    EXPECT_GT(m_clock.ReadMs() - start, 3000u);
    EXPECT_LT(m_clock.ReadMs() - start, 3200u);
    EXPECT_EQ(m_session.m_lastExchangeTime.ms, m_clock.ReadMs());
}

TEST_F(SerialExchangeTest, BusyBytesInPlaceOfTheReadyByteEndTheStatusReadAfterTenSeconds) {
    m_camera->Faults().busy.push_back({0x7F, sim::ReplyPoint::Ready, 11000, false});
    EXPECT_EQ(m_session.ReadStatus(), RESULT_CAMERA_BUSY);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_CAMERA_BUSY);
    EXPECT_GT(m_clock.ReadMs(), 1000u + 10000u);
    EXPECT_LT(m_clock.ReadMs(), 1000u + 11000u);
}

TEST_F(SerialExchangeTest, EndlessBusyBytesInPlaceOfTheAcknowledgementDoNotHangTheUpdater) {
    m_camera->Faults().busy.push_back({0x8D, sim::ReplyPoint::Ack, 0, true});
    m_session.m_commandAttempts = 0;
    EXPECT_EQ(m_session.RequestUpdateMode(), RESULT_NO_REPLY);
    EXPECT_LE(m_clock.ReadMs(), 1000u + 200u + 60000u + 3200u);
}

class DataPacketRefusalTest : public SerialExchangeTest,
                              public ::testing::WithParamInterface<std::tuple<uint32_t, int32_t>> {};

// The block's command goes once; its data packet is sent again after each refusal, five sendings in all.
TEST_P(DataPacketRefusalTest, RefusedPacketIsSentAgainFiveSendingsInAll) {
    const auto [refusals, status] = GetParam();
    m_camera->Faults().refuseBlock = 7;
    m_camera->Faults().refuseBlockTimes = refusals;
    const Bytes block(256, 0x42);
    EXPECT_EQ(m_session.WriteBlock(block.data(), 7), status);
    EXPECT_EQ(WritesOfSize("COM1", 257), 5u);
    EXPECT_EQ(CommandWrites("COM1", 0x1D).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Refusals, DataPacketRefusalTest,
                         ::testing::Values(std::tuple{4u, 0}, std::tuple{5u, RESULT_REFUSED}));

struct AccessCase {
    uint8_t versionMinor;  // camera's status byte 3 (byte 2 = 0)
    uint32_t sessionVersion;
    int32_t status;
};

class AccessExchangeTest : public SerialExchangeTest, public ::testing::WithParamInterface<AccessCase> {
    void SetUp() override { Open(GetParam().versionMinor); }
};

TEST_P(AccessExchangeTest, ReplyExpectedDependsOnTheVersionWord) {
    m_session.m_firmwareVersion = GetParam().sessionVersion;
    EXPECT_EQ(m_session.AccessExchange(), GetParam().status);
    const auto writes = HostWrites("COM1");
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes[0].bytes, Bytes("KwEjUoTfAsGi", "KwEjUoTfAsGi" + 12));
    EXPECT_EQ(writes.back().bytes == Bytes{0xD1}, GetParam().status == 0);
    if (GetParam().status == 0) {
        EXPECT_EQ(writes.back().timeMs - writes[0].timeMs, 500u);  // the reply is read half a second on
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, AccessExchangeTest,
                         ::testing::Values(AccessCase{0x55, 0x505, 0}, AccessCase{0x56, 0x506, 0},
                                           AccessCase{0x55, 0x506, RESULT_REFUSED},
                                           AccessCase{0x56, 0x505, RESULT_REFUSED}));

}  // namespace
