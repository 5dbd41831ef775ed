// Data packet receive against a scripted camera: ready and busy bytes, check bytes, the 0xD2/0xE3
// answers, the lone error byte, the switch to polled reads and the 10-second busy limit, on the serial
// and the USB link.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/camera_session.h"
#include "tests/protocol/protocol_fixture.h"

namespace {

using qxtest::MakePacket;

constexpr uint8_t D2 = 0xD2;
constexpr uint8_t E3 = 0xE3;

class SerialReceiveTest : public ::testing::Test {
  protected:
    VirtualClock m_clock{5000};
    ScopedClock m_scopedClock{m_clock};
    qxtest::ScriptedDevices m_devices{m_clock};
    CCameraSession m_session{m_devices};
    uint32_t m_start = 0;

    void SetUp() override {
        m_session.m_portKind = PORT_KIND_SERIAL;
        ASSERT_EQ(m_session.OpenSerialPort(1), LINK_OK);
        m_devices.line->written.clear();
        m_start = m_clock.ReadMs();
    }
    void At(uint32_t offsetMs, const std::vector<uint8_t>& bytes) {
        m_devices.line->Schedule(m_start + offsetMs, bytes);
    }
    std::vector<uint8_t> Written() const {
        std::vector<uint8_t> bytes;
        for (const auto& entry : m_devices.line->WrittenBytes()) {
            bytes.push_back(entry.second);
        }
        return bytes;
    }
    int32_t ReceiveStatusPacket(std::vector<uint8_t>& destination) {
        destination.assign(256, 0);
        m_session.m_expectReady = 1;
        return m_session.ReceiveBlock(destination.data(), 256, 257);
    }
};

TEST_F(SerialReceiveTest, BusyBusyReadyThenGoodPacketIsAcknowledged) {
    const std::vector<uint8_t> packet = MakePacket(256, 3);
    At(10, {0xF0});
    At(20, {0xF0});
    At(30, {0x01});
    At(40, packet);
    std::vector<uint8_t> payload;
    EXPECT_EQ(ReceiveStatusPacket(payload), LINK_OK);
    EXPECT_EQ(payload, std::vector<uint8_t>(packet.begin(), packet.end() - 1));
    EXPECT_EQ(Written(), std::vector<uint8_t>{D2});
}

TEST_F(SerialReceiveTest, BadCheckByteIsAskedForAgainAfterANewReadyByte) {
    const std::vector<uint8_t> good = MakePacket(256, 9);
    At(10, {0x01});
    At(20, MakePacket(256, 9, false));
    At(300, {0x01});
    At(310, good);
    std::vector<uint8_t> payload;
    EXPECT_EQ(ReceiveStatusPacket(payload), LINK_OK);
    EXPECT_EQ(Written(), (std::vector<uint8_t>{E3, D2}));
    // The second answer went out only after the new ready byte and packet.
    EXPECT_GE(m_devices.line->WrittenBytes()[1].first, m_start + 310);
    EXPECT_EQ(payload[5], good[5]);
}

TEST_F(SerialReceiveTest, FiveBadPacketsGiveFourNegativeAnswersAndFail) {
    for (uint32_t i = 0; i < 5; ++i) {
        At(100 * i + 10, {0x01});
        At(100 * i + 20, MakePacket(256, 1, false));
    }
    std::vector<uint8_t> payload;
    EXPECT_EQ(ReceiveStatusPacket(payload), LINK_TIMEOUT);
    EXPECT_EQ(Written(), std::vector<uint8_t>(4, E3));
    EXPECT_EQ(m_session.m_pollRead, 0);
}

TEST_F(SerialReceiveTest, LoneErrorByteAfterReadyEndsWithFourAndNoAnswer) {
    At(10, {0x01});
    At(20, {0xE2});
    std::vector<uint8_t> payload;
    EXPECT_EQ(ReceiveStatusPacket(payload), LINK_ERROR_BYTE);
    EXPECT_TRUE(Written().empty());
}

class ByteInPlaceOfReadyTest : public SerialReceiveTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(ByteInPlaceOfReadyTest, EndsWithUnexpectedByteAndNoAnswer) {
    At(10, {GetParam()});
    At(20, MakePacket(256, 2));
    std::vector<uint8_t> payload;
    EXPECT_EQ(ReceiveStatusPacket(payload), LINK_UNEXPECTED_BYTE);
    EXPECT_TRUE(Written().empty());
}

INSTANTIATE_TEST_SUITE_P(ErrorOrForeignByte, ByteInPlaceOfReadyTest, ::testing::Values(0xE2, 0x55, 0xD1));

TEST_F(SerialReceiveTest, ThreeTimeoutsSwitchTheLastTwoReadsToPolledMode) {
    // Nothing ever comes and no ready byte is expected: five packet reads of 2000 ms, 500 ms drain after
    // each failed one; the fourth and fifth are polled reads, 257 ms longer.
    std::vector<uint8_t> payload(256);
    m_session.m_expectReady = 0;
    EXPECT_EQ(m_session.ReceiveBlock(payload.data(), 256, 257), LINK_TIMEOUT);
    const auto written = m_devices.line->WrittenBytes();
    ASSERT_EQ(written.size(), 4u);
    // Normal reads: 2000 ms + 500 ms drain between negative answers.
    EXPECT_EQ(written[0].first - m_start, 2500u);
    EXPECT_EQ(written[1].first - written[0].first, 2500u);
    EXPECT_EQ(written[2].first - written[1].first, 2500u);
    // Polled reads allow 1 ms per byte wanted on top of the 2000 ms.
    EXPECT_GE(written[3].first - written[2].first, 2757u);
    EXPECT_LE(written[3].first - written[2].first, 2760u);
    EXPECT_GE(m_clock.ReadMs() - written[3].first, 2257u);
    EXPECT_LE(m_clock.ReadMs() - written[3].first, 2260u);
    for (const auto& [time, byte] : written) {
        EXPECT_EQ(byte, E3);
    }
    EXPECT_EQ(m_session.m_pollRead, 0);
}

TEST_F(SerialReceiveTest, BusyForElevenSecondsEndsWithCameraBusy) {
    for (uint32_t t = 10; t <= 11000; t += 100) {
        At(t, {0xF0});
    }
    std::vector<uint8_t> payload;
    EXPECT_EQ(ReceiveStatusPacket(payload), LINK_CAMERA_BUSY);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_CAMERA_BUSY);
    const uint32_t elapsed = m_clock.ReadMs() - m_start;
    EXPECT_GT(elapsed, 10000u);
    EXPECT_LE(elapsed, 10110u);
    EXPECT_TRUE(Written().empty());
}

TEST_F(SerialReceiveTest, SixHundredBytesComeAsThreePacketsOf256And256And88) {
    const std::vector<uint8_t> first = MakePacket(256, 1);
    const std::vector<uint8_t> second = MakePacket(256, 2);
    const std::vector<uint8_t> third = MakePacket(256, 3);
    At(10, first);
    At(20, second);
    At(30, third);
    std::vector<uint8_t> destination(604, 0xAA);
    m_session.m_expectReady = 0;
    EXPECT_EQ(m_session.ReceiveBlock(destination.data(), 600, 257), LINK_OK);
    EXPECT_EQ(Written(), std::vector<uint8_t>(3, D2));
    EXPECT_TRUE(std::equal(first.begin(), first.end() - 1, destination.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end() - 1, destination.begin() + 256));
    EXPECT_TRUE(std::equal(third.begin(), third.begin() + 88, destination.begin() + 512));
    EXPECT_EQ(destination[600], 0xAA);  // nothing past the 600 bytes asked for
    EXPECT_EQ(m_session.m_blockSize, 257);
}

class UsbReceiveTest : public SerialReceiveTest {
  protected:
    void SetUp() override {
        m_session.m_portKind = PORT_KIND_USB;
        ASSERT_EQ(m_session.OpenUsbDevice(), LINK_OK);
    }
};

TEST_F(UsbReceiveTest, ReadyByteIsIgnoredAndPacketStartsAfterIt) {
    for (uint8_t ready : {uint8_t{0x01}, uint8_t{0x77}}) {
        std::vector<uint8_t> read = {ready};
        const std::vector<uint8_t> packet = MakePacket(256, ready);
        read.insert(read.end(), packet.begin(), packet.end());
        m_devices.usb->reads.push_back(read);
        std::vector<uint8_t> payload(256);
        m_session.m_expectReady = 1;
        EXPECT_EQ(m_session.ReceiveBlock(payload.data(), 256, 257), LINK_OK);
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), packet.begin()));
    }
    EXPECT_EQ(m_devices.usb->writes, (std::vector<std::vector<uint8_t>>{{D2}, {D2}}));
}

TEST_F(UsbReceiveTest, BadCheckByteFailsWithSevenAndSendsNothing) {
    std::vector<uint8_t> read = {0x01};
    const std::vector<uint8_t> packet = MakePacket(256, 4, false);
    read.insert(read.end(), packet.begin(), packet.end());
    m_devices.usb->reads.push_back(read);
    std::vector<uint8_t> payload(256);
    EXPECT_EQ(m_session.ReceiveBlock(payload.data(), 256, 257), LINK_TIMEOUT);
    EXPECT_TRUE(m_devices.usb->writes.empty());
}

TEST_F(UsbReceiveTest, FailedReadFailsWithSeven) {
    std::vector<uint8_t> payload(256);
    EXPECT_EQ(m_session.ReceiveBlock(payload.data(), 256, 257), LINK_TIMEOUT);
    EXPECT_TRUE(m_devices.usb->writes.empty());
}

TEST(ReceiveBlockArgumentsTest, PacketsThatCannotFitTheBufferAreRefused) {
    VirtualClock clock;
    ScopedClock scoped(clock);
    qxtest::ScriptedDevices devices(clock);
    CCameraSession session(devices);
    session.m_portKind = PORT_KIND_SERIAL;
    ASSERT_EQ(session.OpenSerialPort(1), LINK_OK);
    std::vector<uint8_t> destination(40000);
    EXPECT_EQ(session.ReceiveBlock(destination.data(), 256, LINK_BUFFER_SIZE), LINK_TIMEOUT);
    EXPECT_EQ(session.ReceiveBlock(destination.data(), 256, 1), LINK_TIMEOUT);
    EXPECT_EQ(session.ReceiveBlock(nullptr, 256, 257), LINK_TIMEOUT);
    EXPECT_TRUE(devices.line->written.empty());
}

}  // namespace
