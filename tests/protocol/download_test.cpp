// The firmware download against the camera model in virtual time: complete serial and USB downloads
// (blocks, events, checksum, reset, real time taken) and every way a download ends early.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <tuple>
#include <vector>

#include "protocol/camera_session.h"
#include "tests/protocol/protocol_fixture.h"

namespace {

using Event = std::tuple<uint32_t, int32_t, int32_t>;

// The callback records events; it returns 0 on the event numbered stopAt (0-based), if any.
std::vector<Event> g_events;
long g_stopAt = -1;

int32_t RecordEvent(uint32_t kind, int32_t value, int32_t phase) {
    g_events.emplace_back(kind, value, phase);
    return static_cast<long>(g_events.size()) - 1 == g_stopAt ? 0 : 1;
}

std::vector<uint8_t> PatternPayload() {
    std::vector<uint8_t> payload(qx::FIRMWARE_PAYLOAD_SIZE);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>((i * 31) ^ (i >> 9));
    }
    return payload;
}

uint16_t XorOfWords(const std::vector<uint8_t>& payload, size_t length) {
    uint16_t sum = 0;
    for (size_t i = 0; i < length; i += 2) {
        sum = static_cast<uint16_t>(sum ^ (payload[i] | payload[i + 1] << 8));
    }
    return sum;
}

class DownloadTest : public qxtest::VirtualSessionTest {
  protected:
    sim::CameraModel* m_camera = nullptr;
    std::vector<uint8_t> m_payload = PatternPayload();

    void SetUp() override {
        g_events.clear();
        g_stopAt = -1;
    }
    void FindSerialCamera(const sim::CameraConfig& config = {}) {
        m_camera = &m_devices.AttachSerialCamera("COM1", config);
        int32_t notIdentified = 9;
        CameraInfo info;
        char text[CAMERA_NAME_BUFFER_SIZE] = {};
        CameraName name;
        name.name = text;
        m_session.SearchCamera(1, &info, &name, &notIdentified);
        ASSERT_EQ(m_session.GetResultCode(), 0);
        ASSERT_EQ(notIdentified, 0);
        m_devices.ClearWireLog();
    }
    void FindUsbCamera(const sim::CameraConfig& config = {}) {
        m_camera = &m_devices.AttachUsbCamera(qxtest::USB_DEVICE_1, config);
        int32_t notIdentified = 9;
        CameraInfo info;
        char text[CAMERA_NAME_BUFFER_SIZE] = {};
        CameraName name;
        name.name = text;
        m_session.SearchCamera(PORT_USB, &info, &name, &notIdentified);
        ASSERT_EQ(m_session.GetResultCode(), 0);
        ASSERT_EQ(notIdentified, 0);
        m_devices.ClearWireLog();
    }
    size_t Commands(uint8_t code) const {
        size_t count = 0;
        for (const auto& record : m_camera->Commands()) {
            count += record.code == code ? 1 : 0;
        }
        return count;
    }
};

TEST_F(DownloadTest, CompleteSerialDownloadWritesEveryBlockChecksumsAndResets) {
    FindSerialCamera();
    const size_t commandsBefore = m_camera->Commands().size();
    const auto realStart = std::chrono::steady_clock::now();
    m_session.DownloadFirmware(m_payload.data(), RecordEvent);
    const auto realMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - realStart)
            .count();
    std::printf("serial download: %lld ms real time, %u ms virtual\n", static_cast<long long>(realMs),
                m_clock.ReadMs());
    EXPECT_LT(realMs, 1000);

    EXPECT_EQ(m_session.GetResultCode(), 0);
    std::vector<uint32_t> expectedBlocks(4096);
    for (uint32_t i = 0; i < 4096; ++i) {
        expectedBlocks[i] = i;
    }
    EXPECT_EQ(m_camera->BlocksWritten(), expectedBlocks);
    EXPECT_TRUE(std::equal(m_payload.begin(), m_payload.end(), m_camera->Flash().begin()));
    ASSERT_TRUE(m_camera->ChecksumReceived().has_value());
    EXPECT_EQ(*m_camera->ChecksumReceived(), XorOfWords(m_payload, m_payload.size()));
    EXPECT_TRUE(m_camera->ResetSeen());
    EXPECT_EQ(m_session.m_hSerial, nullptr);

    // Order of commands: speed 115200, erase, speed 115200, 4096 blocks, checksum, speed 9600, reset.
    const auto& commands = m_camera->Commands();
    ASSERT_EQ(commands.size() - commandsBefore, 4096u + 6u);
    EXPECT_EQ(commands[commandsBefore].code, 0x41);
    EXPECT_EQ(commands[commandsBefore + 1].code, 0x1E);
    EXPECT_EQ(commands[commandsBefore + 2].code, 0x41);
    EXPECT_EQ(commands[commands.size() - 3].code, 0x21);
    EXPECT_EQ(commands[commands.size() - 2].code, 0x41);
    EXPECT_EQ(commands[commands.size() - 2].params[1], 0x96);
    EXPECT_EQ(commands.back().code, 0xAE);

    ASSERT_EQ(g_events.size(), 4098u);
    EXPECT_EQ(g_events.front(), Event(0, 0, 0));
    for (int32_t n = 0; n < 4096; ++n) {
        ASSERT_EQ(g_events[static_cast<size_t>(n) + 1], Event(1, (n + 1) * 100 / 4096, 0)) << "block " << n;
    }
    EXPECT_EQ(g_events.back(), Event(2, 100, 0));
    // Each block costs at least the 100 ms spacing.
    EXPECT_GE(m_clock.ReadMs(), 409600u);
}

TEST_F(DownloadTest, CompleteUsbDownloadErasesSixteenUnitsAndWritesTwoHundredFortyEightBlocks) {
    FindUsbCamera();
    const auto realStart = std::chrono::steady_clock::now();
    m_session.DownloadFirmware(m_payload.data(), RecordEvent);
    const auto realMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - realStart)
            .count();
    std::printf("USB download: %lld ms real time, %u ms virtual\n", static_cast<long long>(realMs),
                m_clock.ReadMs());
    EXPECT_LT(realMs, 1000);
    EXPECT_EQ(m_session.GetResultCode(), 0);

    std::vector<uint32_t> units;
    std::vector<uint32_t> blocks;
    for (const auto& record : m_camera->Commands()) {
        if (record.code == 0x1E) {
            EXPECT_EQ(record.params[1], 0x10);
            units.push_back(static_cast<uint32_t>(record.params[3] << 8 | record.params[4]));
        }
    }
    std::vector<uint32_t> expectedUnits;
    for (uint32_t u = 0; u < 256; u += 16) {
        expectedUnits.push_back(u);
    }
    EXPECT_EQ(units, expectedUnits);
    for (uint32_t i = 0; i < 248; ++i) {
        blocks.push_back(i);
    }
    EXPECT_EQ(m_camera->BlocksWritten(), blocks);
    size_t packets = 0;
    for (const auto& write : HostWrites(qxtest::USB_DEVICE_1)) {
        packets += write.bytes.size() == 4097 ? 1 : 0;
    }
    EXPECT_EQ(packets, 248u);
    // Bytes from 0xF8000 on are never sent: the flash there stays erased.
    EXPECT_TRUE(std::equal(m_payload.begin(), m_payload.begin() + 0xF8000, m_camera->Flash().begin()));
    EXPECT_TRUE(std::all_of(m_camera->Flash().begin() + 0xF8000, m_camera->Flash().end(),
                            [](uint8_t b) { return b == 0xFF; }));
    ASSERT_TRUE(m_camera->ChecksumReceived().has_value());
    EXPECT_EQ(*m_camera->ChecksumReceived(), XorOfWords(m_payload, 0xF8000));
    EXPECT_TRUE(m_camera->ResetSeen());
    EXPECT_EQ(Commands(0x97), 0u);  // the sign-off goes nowhere after a success: the handle is gone

    std::vector<Event> expected = {{0, 0, 1}};
    for (int32_t u = 0; u < 256; u += 16) {
        expected.emplace_back(1, u * 100 / 256, 1);
    }
    expected.emplace_back(2, 100, 1);
    expected.emplace_back(0, 0, 0);
    for (int32_t n = 0; n < 248; ++n) {
        expected.emplace_back(1, (n + 1) * 100 / 248, 0);
    }
    expected.emplace_back(2, 100, 0);
    EXPECT_EQ(g_events, expected);
    EXPECT_EQ(m_session.m_devicePath[0], '\0');
}

TEST_F(DownloadTest, FailingBlockNinetyNineEndsTheWritePhaseWithoutChecksumOrReset) {
    FindSerialCamera();
    m_camera->Faults().silentFromBlock = 99;
    m_session.DownloadFirmware(m_payload.data(), RecordEvent);
    EXPECT_EQ(m_session.GetResultCode(), CODE_TRANSFER_FAILED);
    ASSERT_EQ(g_events.size(), 102u);
    EXPECT_EQ(g_events[100], Event(1, 2, 0));
    EXPECT_EQ(g_events[101], Event(3, 2, 0));
    EXPECT_EQ(Commands(0x21), 0u);
    EXPECT_EQ(Commands(0xAE), 0u);
    EXPECT_EQ(CommandWrites("COM1", 0x21).size() + CommandWrites("COM1", 0xAE).size(), 0u);
    EXPECT_EQ(CommandWrites("COM1", 0x1D).size(), 99u + 3u);  // block 99 sent three times
    EXPECT_EQ(m_session.m_hSerial, nullptr);
}

TEST_F(DownloadTest, CallbackStoppingAtTheFirstProgressEventWritesOneBlock) {
    FindSerialCamera();
    g_stopAt = 1;
    m_session.DownloadFirmware(m_payload.data(), RecordEvent);
    EXPECT_EQ(m_session.GetResultCode(), CODE_STOPPED);
    EXPECT_EQ(m_camera->BlocksWritten().size(), 1u);
    EXPECT_EQ(g_events, (std::vector<Event>{{0, 0, 0}, {1, 0, 0}, {3, 0, 0}}));
    EXPECT_FALSE(m_camera->ResetSeen());
}

TEST_F(DownloadTest, RefusedSpeedCommandAtTheStartSendsNothingElse) {
    FindSerialCamera();
    m_camera->Faults().refuseCommand = 0x41;
    m_session.DownloadFirmware(m_payload.data(), RecordEvent);
    EXPECT_EQ(m_session.GetResultCode(), CODE_NOT_READY);
    EXPECT_TRUE(g_events.empty());
    const auto writes = HostWrites("COM1");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes[0], 0x41);
    EXPECT_NE(m_session.m_hSerial, nullptr);  // the port stays open
}

TEST_F(DownloadTest, NullCallbackSendsTheSameCommands) {
    FindSerialCamera();
    m_session.DownloadFirmware(m_payload.data(), nullptr);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_camera->BlocksWritten().size(), 4096u);
    EXPECT_EQ(Commands(0x21), 1u);
    EXPECT_TRUE(m_camera->ResetSeen());
}

TEST_F(DownloadTest, ChecksumIsSentLowByteFirst) {
    FindSerialCamera();
    std::vector<uint8_t> payload(qx::FIRMWARE_PAYLOAD_SIZE, 0);
    payload[0] = 0x34;
    payload[1] = 0x12;
    m_session.DownloadFirmware(payload.data(), nullptr);
    const auto packets = CommandWrites("COM1", 0x21);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].bytes, (std::vector<uint8_t>{0x21, 0, 0x00, 0x01, 0x34, 0x12, 0, 0x1A}));
}

TEST_F(DownloadTest, AllOnesPayloadHasChecksumZeroOnBothLinks) {
    const std::vector<uint8_t> payload(qx::FIRMWARE_PAYLOAD_SIZE, 0xFF);
    FindSerialCamera();
    m_session.DownloadFirmware(payload.data(), nullptr);
    ASSERT_TRUE(m_camera->ChecksumReceived().has_value());
    EXPECT_EQ(*m_camera->ChecksumReceived(), 0);

    FindUsbCamera();
    m_session.DownloadFirmware(payload.data(), nullptr);
    ASSERT_TRUE(m_camera->ChecksumReceived().has_value());
    EXPECT_EQ(*m_camera->ChecksumReceived(), 0);
}

struct EraseStopCase {
    const char* what;
    bool refuseErase;
    long stopAt;
    int16_t code;
    std::vector<Event> events;
};

class UsbEraseFailureTest : public DownloadTest, public ::testing::WithParamInterface<EraseStopCase> {};

TEST_P(UsbEraseFailureTest, DownloadEndsAfterTheErasePhaseWithItsStatusAndSignsOff) {
    FindUsbCamera();
    if (GetParam().refuseErase) {
        m_camera->Faults().refuseCommand = 0x1E;
    }
    g_stopAt = GetParam().stopAt;
    m_session.DownloadFirmware(m_payload.data(), RecordEvent);
    EXPECT_EQ(m_session.GetResultCode(), GetParam().code);
    EXPECT_EQ(g_events, GetParam().events);
    EXPECT_EQ(CommandWrites(qxtest::USB_DEVICE_1, 0x1D).size(), 0u);  // nothing written into the flash
    EXPECT_EQ(Commands(0x97), 1u);
    EXPECT_FALSE(m_camera->ResetSeen());
    EXPECT_EQ(m_session.m_devicePath[0], '\0');
}

std::vector<Event> FullEraseThenStop() {
    std::vector<Event> events = {{0, 0, 1}};
    for (int32_t u = 0; u < 256; u += 16) {
        events.emplace_back(1, u * 100 / 256, 1);
    }
    events.emplace_back(2, 100, 1);
    return events;
}

INSTANTIATE_TEST_SUITE_P(
    Erase, UsbEraseFailureTest,
    ::testing::Values(
        EraseStopCase{"refused", true, -1, CODE_TRANSFER_FAILED, {{0, 0, 1}, {1, 0, 1}, {3, 0, 1}}},
        EraseStopCase{
            "stop at second unit", false, 2, CODE_STOPPED, {{0, 0, 1}, {1, 0, 1}, {1, 6, 1}, {3, 6, 1}}},
        EraseStopCase{"stop at phase end", false, 17, CODE_STOPPED, FullEraseThenStop()}));

TEST_F(DownloadTest, SerialEraseFailureEndsTheDownloadWithItsStatus) {
    FindSerialCamera();
    m_camera->Faults().refuseCommand = 0x1E;
    m_session.DownloadFirmware(m_payload.data(), RecordEvent);
    EXPECT_EQ(m_session.GetResultCode(), CODE_TRANSFER_FAILED);
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(CommandWrites("COM1", 0x1D).size(), 0u);
}

}  // namespace
