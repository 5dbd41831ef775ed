// Data packet receive against a scripted camera: ready and busy bytes, check bytes, the 0xD2/0xE3
// answers, the lone error byte and the switch to polled reads on the serial link; the ignored ready byte
// and the single try on the USB link. (The 10-second busy limit: command_exchange_test.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "platform/devices.h"
#include "protocol/camera_session.h"

namespace {

constexpr uint8_t D2 = 0xD2;
constexpr uint8_t E3 = 0xE3;

// payloadSize bytes and their check byte, optionally spoiled.
std::vector<uint8_t> MakePacket(int32_t payloadSize, uint8_t seed, bool goodCheck = true) {
    std::vector<uint8_t> packet;
    uint8_t check = 0;
    for (int32_t i = 0; i < payloadSize; ++i) {
        packet.push_back(static_cast<uint8_t>(seed + i * 7));
        check = static_cast<uint8_t>(check ^ packet.back());
    }
    packet.push_back(goodCheck ? check : static_cast<uint8_t>(check ^ 0x5A));
    return packet;
}

// The camera's side: serial bytes readable at once, in order (a wait with none advances the clock by its
// time-out), USB reads answered from a list; everything the host writes is logged.
struct Line {
    VirtualClock& clock;
    std::deque<uint8_t> incoming;
    std::vector<std::pair<uint32_t, uint8_t>> written;  // (time, byte)
    std::deque<std::vector<uint8_t>> usbReads;          // bytes after the pipe word
    std::vector<std::vector<uint8_t>> usbWrites;
};

class ScriptedLink final : public platform::ISerialPort, public platform::IUsbConnection {
  public:
    explicit ScriptedLink(Line& line) : m_s(line) {}
    bool IsSerialDevice() override { return true; }
    bool GetQueueState(platform::QueueState& state) override {
        state = {static_cast<uint32_t>(m_s.incoming.size()), 0};
        return true;
    }
    bool ConfigureLine(uint32_t) override { return true; }
    bool SetBaudRate(uint32_t) override { return true; }
    bool Purge(bool input, bool) override {
        m_s.incoming.erase(m_s.incoming.begin(), input ? m_s.incoming.end() : m_s.incoming.begin());
        return true;
    }
    bool SetBreak(bool) override { return true; }
    long WriteSome(const uint8_t* data, size_t count) override {
        for (size_t i = 0; i < count; ++i) {
            m_s.written.emplace_back(m_s.clock.ReadMs(), data[i]);
        }
        return static_cast<long>(count);
    }
    long ReadSome(uint8_t* data, size_t count) override {
        const size_t taken = std::min(count, m_s.incoming.size());
        std::copy_n(m_s.incoming.begin(), taken, data);
        m_s.incoming.erase(m_s.incoming.begin(), m_s.incoming.begin() + static_cast<long>(taken));
        return static_cast<long>(taken);
    }
    int WaitReadable(uint32_t timeoutMs) override {
        m_s.clock.Advance(m_s.incoming.empty() ? timeoutMs : 0);
        return m_s.incoming.empty() ? 0 : 1;
    }
    int WaitWritable(uint32_t) override { return 1; }
    int LastError() const override { return 0; }
    bool Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) override {
        if (controlCode == 0x22200Cu) {
            m_s.usbWrites.emplace_back(buffer + 4, buffer + length);
            return true;
        }
        if (controlCode != 0x222010u || m_s.usbReads.empty()) {
            return false;
        }
        std::copy_n(m_s.usbReads.front().begin(), std::min<size_t>(m_s.usbReads.front().size(), length - 4),
                    buffer + 4);
        m_s.usbReads.pop_front();
        return true;
    }

  private:
    Line& m_s;
};

struct Script final : platform::IDevices, Line {
    explicit Script(VirtualClock& lineClock) : Line{lineClock, {}, {}, {}, {}} {}
    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char*, int&) override {
        return std::make_unique<ScriptedLink>(*this);
    }
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char*, int& errorNumber) override {
        errorNumber = 0;
        return std::make_unique<ScriptedLink>(*this);
    }
};

class ReceiveTest : public ::testing::Test {
  protected:
    VirtualClock m_clock{5000};
    ScopedClock m_scopedClock{m_clock};
    Script m_script{m_clock};
    CCameraSession m_session{m_script};
    uint32_t m_start = 0;
    std::vector<uint8_t> m_payload = std::vector<uint8_t>(256);

    void SetUp() override {
        m_session.m_portKind = PORT_KIND_SERIAL;
        ASSERT_EQ(m_session.OpenSerialPort(1), LINK_OK);
        m_start = m_clock.ReadMs();
    }
    std::vector<uint8_t> Answers() const {
        std::vector<uint8_t> bytes;
        for (const auto& entry : m_script.written) {
            bytes.push_back(entry.second);
        }
        return bytes;
    }
};

struct SerialCase {
    const char* name;
    std::vector<std::vector<uint8_t>> script;
    int32_t result;
    std::vector<uint8_t> answers;
};

class SerialReceiveTest : public ReceiveTest, public ::testing::WithParamInterface<SerialCase> {};

// The status read's receive: one 257-byte packet announced by a ready byte.
TEST_P(SerialReceiveTest, AnswersAndResultFollowTheCamerasBytes) {
    const SerialCase& c = GetParam();
    for (const std::vector<uint8_t>& bytes : c.script) {
        m_script.incoming.insert(m_script.incoming.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(m_session.ReceiveBlock(m_payload.data(), 256, 257, PacketStart::AfterReadyByte), c.result);
    EXPECT_EQ(Answers(), c.answers);
    if (c.result == LINK_OK) {
        EXPECT_EQ(m_payload, std::vector<uint8_t>(c.script.back().begin(), c.script.back().end() - 1));
    }
}

const std::vector<uint8_t> GOOD = MakePacket(256, 3);
const std::vector<uint8_t> BAD = MakePacket(256, 3, false);

// clang-format off
INSTANTIATE_TEST_SUITE_P(Packets, SerialReceiveTest, ::testing::Values(
    SerialCase{"BusyBusyReadyGood", {{0xF0, 0xF0, 0x01}, GOOD}, 0, {D2}},
    // A damaged packet is asked for again, and the camera announces it again with a ready byte.
    SerialCase{"BadThenGood", {{0x01}, BAD, {0x01}, GOOD}, 0, {E3, D2}},
    SerialCase{"FiveBadPackets", {{0x01}, BAD, {0x01}, BAD, {0x01}, BAD, {0x01}, BAD, {0x01}, BAD}, LINK_TIMEOUT,
               {E3, E3, E3, E3}},
    SerialCase{"LoneErrorByteAfterReady", {{0x01, 0xE2}}, LINK_ERROR_BYTE, {}},
    // Only a lone error byte gives the transfer up; a short packet that starts with it is retried.
    SerialCase{"ShortPacketStartingWithErrorByte", {{0x01, 0xE2, 0x11}}, LINK_TIMEOUT, {E3}},
    SerialCase{"ErrorByteInPlaceOfReady", {{0xE2}, GOOD}, LINK_UNEXPECTED_BYTE, {}},
    SerialCase{"ForeignByteInPlaceOfReady", {{0x55}, GOOD}, LINK_UNEXPECTED_BYTE, {}}),
    [](const auto& param) { return std::string(param.param.name); });
// clang-format on

// 300 bytes wanted from 257-byte packets: two whole packets travel and are acknowledged; the second
// gives only the 44 bytes still missing.
TEST_F(ReceiveTest, LengthThatIsNotAMultipleOfThePacketTakesTheStartOfTheLastPacket) {
    const std::vector<uint8_t> first = MakePacket(256, 3);
    const std::vector<uint8_t> second = MakePacket(256, 9);
    m_script.incoming.insert(m_script.incoming.end(), first.begin(), first.end());
    m_script.incoming.insert(m_script.incoming.end(), second.begin(), second.end());
    std::vector<uint8_t> payload(300 + 8, 0xEE);
    EXPECT_EQ(m_session.ReceiveBlock(payload.data(), 300, 257), LINK_OK);
    EXPECT_EQ(Answers(), (std::vector<uint8_t>{D2, D2}));
    EXPECT_TRUE(std::equal(first.begin(), first.end() - 1, payload.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.begin() + 44, payload.begin() + 256));
    EXPECT_EQ(payload[300], 0xEE) << "nothing past the length asked for";
}

TEST_F(ReceiveTest, ThreeTimeoutsSwitchTheLastTwoReadsToPolledMode) {
    // Nothing ever comes: five 2000 ms packet reads with a 500 ms drain after each failed one; the
    // fourth and fifth are polled reads, which allow 1 ms more per byte wanted.
    EXPECT_EQ(m_session.ReceiveBlock(m_payload.data(), 256, 257), LINK_TIMEOUT);
    std::vector<uint32_t> times = {m_start};
    for (const auto& [time, byte] : m_script.written) {
        EXPECT_EQ(byte, E3);
        times.push_back(time);
    }
    times.push_back(m_clock.ReadMs() + 500);  // no drain after the last read
    ASSERT_EQ(times.size(), 6u);
    for (size_t i = 1; i < times.size(); ++i) {
        const uint32_t expected = i <= 3 ? 2500 : 2757;
        EXPECT_GE(times[i] - times[i - 1], expected) << "read " << i;
        EXPECT_LE(times[i] - times[i - 1], expected + 3) << "read " << i;
    }
}

TEST_F(ReceiveTest, UsbReadyByteIsIgnoredAndABadOrMissingPacketFailsAtOnceWithoutAnAnswer) {
    m_session.m_portKind = PORT_KIND_USB;
    ASSERT_EQ(m_session.OpenUsbDevice(), LINK_OK);
    // Ready bytes 0x01 and 0x77 both pass; then a bad packet.
    for (const auto& [ready, good] :
         {std::pair{uint8_t{0x01}, true}, {uint8_t{0x77}, true}, {uint8_t{0x01}, false}}) {
        std::vector<uint8_t> read = MakePacket(256, ready, good);
        read.insert(read.begin(), ready);
        m_script.usbReads.push_back(read);
        EXPECT_EQ(m_session.ReceiveBlock(m_payload.data(), 256, 257, PacketStart::AfterReadyByte),
                  good ? LINK_OK : LINK_TIMEOUT);
        EXPECT_TRUE(!good || std::equal(m_payload.begin(), m_payload.end(), read.begin() + 1));
    }
    EXPECT_EQ(m_session.ReceiveBlock(m_payload.data(), 256, 257), LINK_TIMEOUT);  // the read fails
    EXPECT_EQ(m_script.usbWrites, (std::vector<std::vector<uint8_t>>{{D2}, {D2}}));
}

}  // namespace
