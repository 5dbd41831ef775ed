// The firmware download against the camera model in virtual time: complete serial and USB downloads
// (commands, blocks, events, checksum, reset) and every way a download ends early.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "protocol/camera_session.h"
#include "tests/protocol/protocol_fixture.h"

namespace {

using Event = std::tuple<uint32_t, int32_t, int32_t>;
using Events = std::vector<Event>;

// The callback records events; it returns 0 on the event numbered g_stopAt (0-based), if any.
Events g_events;
long g_stopAt = -1;

int32_t RecordEvent(uint32_t kind, int32_t value, int32_t phase) {
    g_events.emplace_back(kind, value, phase);
    return static_cast<long>(g_events.size()) - 1 == g_stopAt ? 0 : 1;
}

// The XOR of the little-endian 16-bit words of the first `length` bytes.
uint16_t XorOfWords(const std::vector<uint8_t>& payload, size_t length) {
    uint16_t sum = 0;
    for (size_t i = 0; i < length; i += 2) {
        sum = static_cast<uint16_t>(sum ^ (payload[i] | payload[i + 1] << 8));
    }
    return sum;
}

// Events of a phase that runs to its end: start, progress after each of `steps` units, completed.
Events PhaseEvents(int32_t phase, int32_t steps, int32_t unitsPerStep, int32_t units) {
    Events events = {{0, 0, phase}};
    for (int32_t n = 0; n < steps; ++n) {
        const int32_t done = phase == 1 ? n * unitsPerStep : n + 1;
        events.emplace_back(1, done * 100 / units, phase);
    }
    events.emplace_back(2, 100, phase);
    return events;
}

class DownloadTest : public qxtest::VirtualSessionTest {
  protected:
    sim::CameraModel* m_camera = nullptr;
    std::vector<uint8_t> m_payload = std::vector<uint8_t>(qx::FIRMWARE_PAYLOAD_SIZE);
    size_t m_searchCommands = 0;

    void SetUp() override {
        g_events.clear();
        g_stopAt = -1;
        for (size_t i = 0; i < m_payload.size(); ++i) {
            m_payload[i] = static_cast<uint8_t>((i * 31) ^ (i >> 9));
        }
    }
    void Download(int16_t port, const sim::CameraConfig& config = {}, StatusCallback callback = RecordEvent) {
        m_camera = &FindCamera(port, config);
        m_searchCommands = m_camera->Commands().size();
        m_session.DownloadFirmware(m_payload.data(), callback);
    }
    // The command codes the camera took after the search.
    std::vector<uint8_t> DownloadCodes() const {
        const auto codes = CodesOn(*m_camera);
        return {codes.begin() + static_cast<long>(m_searchCommands), codes.end()};
    }
    static std::vector<uint32_t> Numbers(uint32_t count, uint32_t step = 1) {
        std::vector<uint32_t> numbers;
        for (uint32_t i = 0; i < count; ++i) {
            numbers.push_back(i * step);
        }
        return numbers;
    }
};

TEST_F(DownloadTest, CompleteSerialDownloadWritesEveryBlockChecksumsAndResets) {
    Download(1);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_camera->BlocksWritten(), Numbers(4096));
    EXPECT_EQ(WritesOfSize("COM1", 257), 4096u);
    EXPECT_TRUE(std::equal(m_payload.begin(), m_payload.end(), m_camera->Flash().begin()));
    EXPECT_EQ(m_camera->ChecksumReceived(), XorOfWords(m_payload, m_payload.size()));
    EXPECT_EQ(m_session.m_hSerial, nullptr);

    // Speed 115200, erase, speed 115200 again, the blocks, checksum, speed 9600, reset.
    std::vector<uint8_t> expected = {0x41, 0x1E, 0x41};
    expected.insert(expected.end(), 4096, 0x1D);
    expected.insert(expected.end(), {0x21, 0x41, 0xAE});
    EXPECT_EQ(DownloadCodes(), expected);
    EXPECT_EQ(CommandWrites("COM1", 0x41).back().bytes[2], 0x96);
    EXPECT_EQ(g_events, PhaseEvents(0, 4096, 1, 4096));
    // Each block costs at least the 100 ms spacing.
    EXPECT_GE(m_clock.ReadMs(), 409600u);
}

TEST_F(DownloadTest, CompleteUsbDownloadErasesSixteenUnitsAndWritesTwoHundredFortyEightBlocks) {
    Download(PORT_USB);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    std::vector<uint32_t> units;
    for (const auto& record : m_camera->Commands()) {
        if (record.code == 0x1E) {
            EXPECT_EQ(record.params[1], 0x10);
            units.push_back(static_cast<uint32_t>(record.params[3] << 8 | record.params[4]));
        }
    }
    EXPECT_EQ(units, Numbers(16, 16));
    EXPECT_EQ(m_camera->BlocksWritten(), Numbers(248));
    EXPECT_EQ(WritesOfSize(qxtest::USB_DEVICE_1, 4097), 248u);
    // Bytes from 0xF8000 on are never sent: the flash there stays erased.
    EXPECT_TRUE(std::equal(m_payload.begin(), m_payload.begin() + 0xF8000, m_camera->Flash().begin()));
    EXPECT_TRUE(std::all_of(m_camera->Flash().begin() + 0xF8000, m_camera->Flash().end(),
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(m_camera->ChecksumReceived(), XorOfWords(m_payload, 0xF8000));
    EXPECT_TRUE(m_camera->ResetSeen());
    // The sign-off goes nowhere after a success: its write finds the handle released.
    EXPECT_EQ(DownloadCodes().back(), 0xAE);
    EXPECT_EQ(m_session.m_detailStatus, DETAIL_USB_WRITE);
    Events expected = PhaseEvents(1, 16, 16, 256);
    const Events write = PhaseEvents(0, 248, 1, 248);
    expected.insert(expected.end(), write.begin(), write.end());
    EXPECT_EQ(g_events, expected);
    EXPECT_EQ(m_session.m_devicePath[0], '\0');
}

TEST_F(DownloadTest, FailingBlockNinetyNineEndsTheWritePhaseWithoutChecksumOrReset) {
    sim::CameraConfig config;
    config.faults.silentFromBlock = 99;
    Download(1, config);
    EXPECT_EQ(m_session.GetResultCode(), CODE_TRANSFER_FAILED);
    ASSERT_EQ(g_events.size(), 102u);
    EXPECT_EQ(g_events[100], Event(1, 2, 0));
    EXPECT_EQ(g_events[101], Event(3, 2, 0));
    EXPECT_EQ(CommandWrites("COM1", 0x21).size() + CommandWrites("COM1", 0xAE).size(), 0u);
    EXPECT_EQ(CommandWrites("COM1", 0x1D).size(), 99u + 3u);  // block 99 sent three times
    EXPECT_EQ(m_session.m_hSerial, nullptr);
}

TEST_F(DownloadTest, CallbackStoppingAtTheFirstProgressEventWritesOneBlock) {
    g_stopAt = 1;
    Download(1);
    EXPECT_EQ(m_session.GetResultCode(), CODE_STOPPED);
    EXPECT_EQ(m_camera->BlocksWritten().size(), 1u);
    EXPECT_EQ(g_events, (Events{{0, 0, 0}, {1, 0, 0}, {3, 0, 0}}));
    EXPECT_FALSE(m_camera->ResetSeen());
}

TEST_F(DownloadTest, RefusedSpeedCommandAtTheStartSendsNothingElseAndLeavesThePortOpen) {
    sim::CameraConfig config;
    config.faults.refuseCommand = 0x41;
    m_camera = &m_devices.AttachSerialCamera("COM1", config);
    OpenSerial();
    m_session.DownloadFirmware(m_payload.data(), RecordEvent);
    EXPECT_EQ(m_session.GetResultCode(), CODE_NOT_READY);
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(CodesOn(*m_camera), std::vector<uint8_t>{0x41});
    EXPECT_NE(m_session.m_hSerial, nullptr);
}

TEST_F(DownloadTest, NullCallbackSendsTheSameCommandsAndTheChecksumGoesLowByteFirst) {
    std::fill(m_payload.begin(), m_payload.end(), 0);
    m_payload[0] = 0x34;
    m_payload[1] = 0x12;
    Download(1, {}, nullptr);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    EXPECT_EQ(m_camera->BlocksWritten().size(), 4096u);
    EXPECT_TRUE(m_camera->ResetSeen());
    const auto packets = CommandWrites("COM1", 0x21);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].bytes, (std::vector<uint8_t>{0x21, 0, 0x00, 0x01, 0x34, 0x12, 0, 0x1A}));
}

TEST_F(DownloadTest, SerialEraseFailureEndsTheDownloadWithItsStatus) {
    sim::CameraConfig config;
    config.faults.refuseCommand = 0x1E;
    Download(1, config);
    EXPECT_EQ(m_session.GetResultCode(), CODE_TRANSFER_FAILED);
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(DownloadCodes(), (std::vector<uint8_t>{0x41, 0x1E}));
}

struct EraseStopCase {
    bool refuseErase;
    long stopAt;
    int16_t code;
    Events events;
};

class UsbEraseFailureTest : public DownloadTest, public ::testing::WithParamInterface<EraseStopCase> {};

// Blocks written into flash whose erase failed would report a good update: the download ends here.
TEST_P(UsbEraseFailureTest, DownloadEndsAfterTheErasePhaseWithItsStatusAndSignsOff) {
    sim::CameraConfig config;
    if (GetParam().refuseErase) {
        config.faults.refuseCommand = 0x1E;
    }
    g_stopAt = GetParam().stopAt;
    Download(PORT_USB, config);
    EXPECT_EQ(m_session.GetResultCode(), GetParam().code);
    EXPECT_EQ(g_events, GetParam().events);
    EXPECT_EQ(CommandWrites(qxtest::USB_DEVICE_1, 0x1D).size(), 0u);
    EXPECT_EQ(CodesOn(*m_camera).back(), 0x97);
    EXPECT_FALSE(m_camera->ResetSeen());
    EXPECT_EQ(m_session.m_devicePath[0], '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Erase, UsbEraseFailureTest,
    ::testing::Values(EraseStopCase{true, -1, CODE_TRANSFER_FAILED, {{0, 0, 1}, {1, 0, 1}, {3, 0, 1}}},
                      EraseStopCase{false, 2, CODE_STOPPED, {{0, 0, 1}, {1, 0, 1}, {1, 6, 1}, {3, 6, 1}}},
                      EraseStopCase{false, 17, CODE_STOPPED, PhaseEvents(1, 16, 16, 256)}));

}  // namespace
