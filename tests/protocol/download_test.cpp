// The firmware download against the camera model in virtual time: every way it ends, with the events, the
// commands the camera took in order, what reached the flash and what is left of the link.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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

// Events of a phase: start, progress after each of `steps` units, then the ending of kind `end` (2:
// completed at 100, 3: failed at the last progress value).
Events Phase(int32_t phase, int32_t steps, int32_t unitsPerStep, int32_t units, uint32_t end = 2) {
    Events events = {{0, 0, phase}};
    int32_t value = 0;
    for (int32_t n = 0; n < steps; ++n) {
        value = (phase == 1 ? n * unitsPerStep : n + 1) * 100 / units;
        events.emplace_back(1, value, phase);
    }
    events.emplace_back(end, end == 2 ? 100 : value, phase);
    return events;
}
Events Then(Events first, const Events& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

struct EndingCase {
    const char* name;
    int16_t port;
    int fault;  // 0 none, else the code refused; -99: the camera is gone from block 99 on
    long stopAt;
    bool withCallback;
    int16_t code;
    Events events;
    const char* codes;  // what the host sent after the search
    bool linkHeld;
};

class DownloadEnding : public qxtest::VirtualSessionTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(DownloadEnding, EventsCommandsFlashAndLink) {
    const EndingCase& c = GetParam();
    g_events.clear();
    g_stopAt = c.stopAt;
    std::vector<uint8_t> payload(wire::FIRMWARE_PAYLOAD_SIZE);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>((i * 31) ^ (i >> 9));
    }
    sim::CameraConfig config;
    if (c.fault == -99) {
        config.faults.silentFromBlock = 99;
    } else if (c.fault != 0) {
        config.faults.refuseCommand = static_cast<uint8_t>(c.fault);
    }
    sim::CameraModel* camera = nullptr;
    if (c.fault == 0x41) {  // the search itself ends on a speed command: open the port as it leaves it
        camera = &m_devices.AttachSerialCamera("COM1", config);
        OpenSerial();
    } else {
        camera = &FindCamera(c.port, config);
    }
    m_session.DownloadFirmware(payload.data(), c.withCallback ? RecordEvent : nullptr);

    EXPECT_EQ(m_session.GetResultCode(), c.code);
    EXPECT_EQ(g_events, c.events);
    EXPECT_EQ(CodesSent(), c.codes);
    EXPECT_EQ(m_session.m_hSerial != nullptr, c.linkHeld);
    EXPECT_EQ(m_session.m_devicePath[0], '\0');
    if (c.code == 0) {
        // The USB download writes 248 blocks of 4096 bytes; the flash past them stays erased.
        const size_t written = c.port == PORT_USB ? 0xF8000 : payload.size();
        EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + static_cast<long>(written),
                               camera->Flash().begin()));
        EXPECT_TRUE(std::all_of(camera->Flash().begin() + static_cast<long>(written), camera->Flash().end(),
                                [](uint8_t b) { return b == 0xFF; }));
        uint16_t sum = 0;
        for (size_t i = 0; i < written; i += 2) {
            sum = static_cast<uint16_t>(sum ^ (payload[i] | payload[i + 1] << 8));
        }
        EXPECT_EQ(camera->ChecksumReceived(), sum);
    }
    if (c.port != PORT_USB && c.code == 0) {
        EXPECT_EQ(CommandWrites("COM1", 0x41).back().bytes[2], 0x96);  // back at 9600 for the reset
        EXPECT_GE(m_clock.ReadMs(), 409600u);  // each block costs at least the 100 ms spacing
    }
}

const char* const SERIAL_DONE = "41 1E 41 1D*4096 21 41 AE";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Endings, DownloadEnding, ::testing::Values(
    EndingCase{"SerialComplete", 1, 0, -1, true, 0, Phase(0, 4096, 1, 4096), SERIAL_DONE, false},
    EndingCase{"SerialWithoutCallback", 1, 0, -1, false, 0, {}, SERIAL_DONE, false},
    // The sign-off after the reset goes nowhere: its write finds the handle released.
    EndingCase{"UsbComplete", PORT_USB, 0, -1, true, 0,
               Then(Phase(1, 16, 16, 256), Phase(0, 248, 1, 248)), "1E*16 1D*248 21 AE", false},
    // The camera is gone at block 99 (which is sent three times): no checksum, no reset.
    EndingCase{"CameraGoneAtBlock99", 1, -99, -1, true, CODE_TRANSFER_FAILED, Phase(0, 100, 1, 4096, 3),
               "41 1E 41 1D*102", false},
    EndingCase{"StoppedAtTheFirstProgress", 1, 0, 1, true, CODE_STOPPED, Phase(0, 1, 1, 4096, 3), "41 1E 41 1D",
               false},
    EndingCase{"SpeedRefusedAtTheStart", 1, 0x41, -1, true, CODE_NOT_READY, {}, "41", true},
    // A refused erase ends the download before the second speed command.
    EndingCase{"SerialEraseRefused", 1, 0x1E, -1, true, CODE_TRANSFER_FAILED, {}, "41 1E", true},
    // Blocks written into flash whose erase failed would report a good update: the download ends with the
    // erase phase and signs off.
    EndingCase{"UsbEraseRefused", PORT_USB, 0x1E, -1, true, CODE_TRANSFER_FAILED, Phase(1, 1, 16, 256, 3),
               "1E 97", false},
    EndingCase{"UsbStoppedInTheErase", PORT_USB, 0, 2, true, CODE_STOPPED, Phase(1, 2, 16, 256, 3), "1E*2 97",
               false},
    EndingCase{"UsbStoppedAtTheEraseCompletion", PORT_USB, 0, 17, true, CODE_STOPPED, Phase(1, 16, 16, 256),
               "1E*16 97", false}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

// An erased-looking payload (all 0xFF): an even number of 0xFFFF words folds to checksum 0x0000, sent as
// two zero bytes, and the camera accepts it.
using DownloadTest = qxtest::VirtualSessionTest;

TEST_F(DownloadTest, AllOnesPayloadHasChecksumZero) {
    const sim::CameraModel& camera = FindCamera(PORT_USB);
    const std::vector<uint8_t> payload(0x100000, 0xFF);
    m_session.DownloadFirmware(payload.data(), nullptr);
    EXPECT_EQ(m_session.GetResultCode(), 0);
    const auto checksum = CommandWrites(qxtest::USB_DEVICE_1, 0x21);
    ASSERT_EQ(checksum.size(), 1u);
    EXPECT_EQ(checksum[0].bytes, (std::vector<uint8_t>{0x21, 0, 0x00, 0x01, 0x00, 0x00, 0, 0x1A}));
    EXPECT_EQ(camera.ChecksumReceived(), 0x0000);
    EXPECT_TRUE(camera.ResetSeen());
}

}  // namespace
