// Data packet receive against a scripted camera: ready and busy bytes, check bytes, the 0xD2/0xE3
// answers, the lone error byte, the switch to polled reads and the 10-second busy limit on the serial
// link; the ignored ready byte and the single try on the USB link.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
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

// The camera's side as a timeline: serial bytes become readable at their due times, USB reads are
// answered from a list; everything the host writes is logged.
struct Script final : platform::IDevices {
    explicit Script(VirtualClock& lineClock) : clock(lineClock) {}
    VirtualClock& clock;
    std::deque<std::pair<uint32_t, uint8_t>> incoming;  // (due time, byte), in time order
    std::vector<std::pair<uint32_t, uint8_t>> written;  // (time, byte)
    std::deque<std::vector<uint8_t>> usbReads;          // bytes after the pipe word
    std::vector<std::vector<uint8_t>> usbWrites;

    void At(uint32_t timeMs, const std::vector<uint8_t>& bytes) {
        for (uint8_t byte : bytes) {
            incoming.emplace_back(timeMs, byte);
        }
    }
    size_t Due() const {
        size_t count = 0;
        while (count < incoming.size() && static_cast<int32_t>(clock.ReadMs() - incoming[count].first) >= 0) {
            ++count;
        }
        return count;
    }
    std::unique_ptr<platform::ISerialPort> OpenSerialPort(const char*, int&) override;
    std::unique_ptr<platform::IUsbConnection> OpenUsbDevice(const char*) override;
};

class ScriptedPort final : public platform::ISerialPort {
  public:
    explicit ScriptedPort(Script& script) : m_s(script) {}
    bool IsSerialDevice() override { return true; }
    bool GetQueueState(platform::QueueState& state) override {
        state = {static_cast<uint32_t>(m_s.Due()), 0};
        return true;
    }
    bool ConfigureLine(uint32_t) override { return true; }
    bool SetBaudRate(uint32_t) override { return true; }
    bool Purge(bool input, bool) override {
        m_s.incoming.erase(m_s.incoming.begin(),
                           m_s.incoming.begin() + (input ? static_cast<long>(m_s.Due()) : 0));
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
        const size_t taken = std::min(count, m_s.Due());
        for (size_t i = 0; i < taken; ++i) {
            data[i] = m_s.incoming.front().second;
            m_s.incoming.pop_front();
        }
        return static_cast<long>(taken);
    }
    int WaitReadable(uint32_t timeoutMs) override {
        if (m_s.Due() == 0 &&
            (m_s.incoming.empty() || m_s.incoming.front().first - m_s.clock.ReadMs() > timeoutMs)) {
            m_s.clock.Advance(timeoutMs);
            return 0;
        }
        m_s.clock.AdvanceTo(m_s.incoming.front().first);
        return 1;
    }
    int WaitWritable(uint32_t) override { return 1; }
    int LastError() const override { return 0; }

  private:
    Script& m_s;
};

class ScriptedUsb final : public platform::IUsbConnection {
  public:
    explicit ScriptedUsb(Script& script) : m_s(script) {}
    bool Request(uint32_t controlCode, uint8_t* buffer, uint32_t length) override {
        if (controlCode == IOCTL_CAMERA_WRITE) {
            m_s.usbWrites.emplace_back(buffer + 4, buffer + length);
            return true;
        }
        if (controlCode != IOCTL_CAMERA_READ || m_s.usbReads.empty()) {
            return false;
        }
        std::copy_n(m_s.usbReads.front().begin(), std::min<size_t>(m_s.usbReads.front().size(), length - 4),
                    buffer + 4);
        m_s.usbReads.pop_front();
        return true;
    }

  private:
    Script& m_s;
};

std::unique_ptr<platform::ISerialPort> Script::OpenSerialPort(const char*, int&) {
    return std::make_unique<ScriptedPort>(*this);
}
std::unique_ptr<platform::IUsbConnection> Script::OpenUsbDevice(const char*) {
    return std::make_unique<ScriptedUsb>(*this);
}

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
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> script;  // (ms after the start, bytes)
    int32_t result;
    std::vector<uint8_t> answers;
    uint32_t minElapsedMs = 0;
};

class SerialReceiveTest : public ReceiveTest, public ::testing::WithParamInterface<SerialCase> {};

// The status read's receive: one 257-byte packet announced by a ready byte.
TEST_P(SerialReceiveTest, AnswersAndResultFollowTheCamerasBytes) {
    for (const auto& [offsetMs, bytes] : GetParam().script) {
        m_script.At(m_start + offsetMs, bytes);
    }
    m_session.m_expectReady = 1;
    EXPECT_EQ(m_session.ReceiveBlock(m_payload.data(), 256, 257), GetParam().result);
    EXPECT_EQ(Answers(), GetParam().answers);
    EXPECT_EQ(m_session.m_pollRead, 0);
    EXPECT_GT(m_clock.ReadMs() - m_start, GetParam().minElapsedMs);
    if (GetParam().result == LINK_OK) {
        const std::vector<uint8_t>& packet = GetParam().script.back().second;
        EXPECT_EQ(m_payload, std::vector<uint8_t>(packet.begin(), packet.end() - 1));
    }
    if (GetParam().result == LINK_CAMERA_BUSY) {
        EXPECT_EQ(m_session.m_detailStatus, DETAIL_CAMERA_BUSY);
    }
}

std::vector<std::pair<uint32_t, std::vector<uint8_t>>> FiveBadPackets() {
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> script;
    for (uint32_t i = 0; i < 5; ++i) {
        script.push_back({100 * i + 10, {0x01}});
        script.push_back({100 * i + 20, MakePacket(256, 1, false)});
    }
    return script;
}

std::vector<std::pair<uint32_t, std::vector<uint8_t>>> BusyUntil(uint32_t endMs) {
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> script;
    for (uint32_t t = 10; t <= endMs; t += 100) {
        script.push_back({t, {0xF0}});
    }
    return script;
}

INSTANTIATE_TEST_SUITE_P(
    Packets, SerialReceiveTest,
    ::testing::Values(
        SerialCase{"BusyBusyReadyGood",
                   {{10, {0xF0}}, {20, {0xF0}}, {30, {0x01}}, {40, MakePacket(256, 3)}},
                   0,
                   {D2}},
        // A damaged packet is asked for again, and the camera announces it again with a ready byte.
        SerialCase{"BadThenGood",
                   {{10, {0x01}}, {20, MakePacket(256, 9, false)}, {300, {0x01}}, {310, MakePacket(256, 9)}},
                   0,
                   {E3, D2}},
        SerialCase{"FiveBadPackets", FiveBadPackets(), LINK_TIMEOUT, {E3, E3, E3, E3}},
        SerialCase{"LoneErrorByteAfterReady", {{10, {0x01}}, {20, {0xE2}}}, LINK_ERROR_BYTE, {}},
        // Only a lone error byte gives the transfer up; a short packet that starts with it is retried.
        SerialCase{
            "ShortPacketStartingWithErrorByte", {{10, {0x01}}, {20, {0xE2, 0x11}}}, LINK_TIMEOUT, {E3}},
        SerialCase{
            "ErrorByteInPlaceOfReady", {{10, {0xE2}}, {20, MakePacket(256, 2)}}, LINK_UNEXPECTED_BYTE, {}},
        SerialCase{
            "ForeignByteInPlaceOfReady", {{10, {0x55}}, {20, MakePacket(256, 2)}}, LINK_UNEXPECTED_BYTE, {}},
        SerialCase{"BusyForElevenSeconds", BusyUntil(11000), LINK_CAMERA_BUSY, {}, 10000}),
    [](const ::testing::TestParamInfo<SerialCase>& param) { return param.param.name; });

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
    EXPECT_EQ(m_session.m_pollRead, 0);
}

TEST_F(ReceiveTest, SixHundredBytesComeAsThreePacketsOf256And256And88) {
    const std::vector<uint8_t> packets[] = {MakePacket(256, 1), MakePacket(256, 2), MakePacket(256, 3)};
    for (uint32_t i = 0; i < 3; ++i) {
        m_script.At(m_start + 10 * (i + 1), packets[i]);
    }
    std::vector<uint8_t> destination(604, 0xAA);
    EXPECT_EQ(m_session.ReceiveBlock(destination.data(), 600, 257), LINK_OK);
    EXPECT_EQ(Answers(), std::vector<uint8_t>(3, D2));
    for (size_t i = 0; i < 600; ++i) {
        ASSERT_EQ(destination[i], packets[i / 256][i % 256]) << i;
    }
    EXPECT_EQ(destination[600], 0xAA);  // nothing past the 600 bytes asked for
}

TEST_F(ReceiveTest, UsbReadyByteIsIgnoredAndABadOrMissingPacketFailsAtOnceWithoutAnAnswer) {
    m_session.m_portKind = PORT_KIND_USB;
    ASSERT_EQ(m_session.OpenUsbDevice(), LINK_OK);
    m_session.m_expectReady = 1;
    for (uint8_t ready : {uint8_t{0x01}, uint8_t{0x77}}) {
        std::vector<uint8_t> read = MakePacket(256, ready);
        read.insert(read.begin(), ready);
        m_script.usbReads.push_back(read);
        EXPECT_EQ(m_session.ReceiveBlock(m_payload.data(), 256, 257), LINK_OK);
        EXPECT_TRUE(std::equal(m_payload.begin(), m_payload.end(), read.begin() + 1));
    }
    std::vector<uint8_t> bad = MakePacket(256, 4, false);
    bad.insert(bad.begin(), 0x01);
    m_script.usbReads.push_back(bad);
    EXPECT_EQ(m_session.ReceiveBlock(m_payload.data(), 256, 257), LINK_TIMEOUT);
    EXPECT_EQ(m_session.ReceiveBlock(m_payload.data(), 256, 257), LINK_TIMEOUT);  // the read fails
    EXPECT_EQ(m_script.usbWrites, (std::vector<std::vector<uint8_t>>{{D2}, {D2}}));
}

TEST_F(ReceiveTest, PacketsThatCannotFitTheBufferAreRefusedWithoutAWord) {
    std::vector<uint8_t> destination(40000);
    EXPECT_EQ(m_session.ReceiveBlock(destination.data(), 256, LINK_BUFFER_SIZE), LINK_TIMEOUT);
    EXPECT_EQ(m_session.ReceiveBlock(destination.data(), 256, 1), LINK_TIMEOUT);
    EXPECT_EQ(m_session.ReceiveBlock(nullptr, 256, 257), LINK_TIMEOUT);
    EXPECT_TRUE(m_script.written.empty());
}

}  // namespace
