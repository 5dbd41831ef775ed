// End to end over the USB driver socket: the updater's camera session on the machine's devices against
// the camera simulator program serving QX410U-001, on the real clock.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/devices.h"
#include "protocol/camera_session.h"
#include "tests/e2e/e2e_support.h"
#include "wire/byte_codes.h"

namespace e2e {
namespace {

using UsbEndToEnd = SimulatorTest;

// The part of the payload a USB download writes: 248 blocks of 4096 bytes.
constexpr size_t USB_WRITTEN = 1015808;

TEST_F(UsbEndToEnd, SearchAndCompleteDownloadLeaveThePayloadInFlash) {
    StartSimulator({"--usb", "1", "--flash-out", TempFile("flash.bin")}, "QX410U-001");
    CCameraSession session(platform::SystemDevices());
    ExpectFound(session, PORT_USB);

    const std::vector<uint8_t> payload = MakePayload(410);
    session.DownloadFirmware(payload.data(), RecordStatus);
    EXPECT_EQ(session.GetResultCode(), 0);

    // Erase phase: start, one event per erase command (u * 100 / 256), completion; then the write phase.
    std::vector<StatusEvent> expected = {{STATUS_START, 0, 1}};
    for (int unit = 0; unit < 256; unit += 16) {
        expected.emplace_back(STATUS_PROGRESS, unit * 100 / 256, 1);
    }
    expected.emplace_back(STATUS_COMPLETED, 100, 1);
    expected.emplace_back(STATUS_START, 0, 0);
    for (int block = 0; block < 248; ++block) {
        expected.emplace_back(STATUS_PROGRESS, (block + 1) * 100 / 248, 0);
    }
    expected.emplace_back(STATUS_COMPLETED, 100, 0);
    EXPECT_EQ(RecordedEvents(), expected);

    const SimSummary summary = StopSimulator();
    EXPECT_EQ(std::ranges::count(summary.codes, 0x1E), 16);
    EXPECT_EQ(std::ranges::count(summary.codes, 0x1D), 248);
    ASSERT_GE(summary.codes.size(), 2u);
    EXPECT_EQ(summary.codes[summary.codes.size() - 2], 0x21);
    EXPECT_EQ(summary.codes.back(), 0xAE);
    EXPECT_EQ(summary.Value("blocks-first-last"), "0 247");
    EXPECT_NE(summary.Value("checksum-received"), "none");
    EXPECT_EQ(summary.Value("checksum-received"), summary.Value("checksum-computed"));
    EXPECT_EQ(summary.Value("reset"), "yes");

    const std::vector<uint8_t> flash = ReadFile(TempFile("flash.bin"));
    ASSERT_EQ(flash.size(), PAYLOAD_SIZE);
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + USB_WRITTEN, payload.begin()))
        << "the flash differs from the payload in the written part";
    EXPECT_TRUE(std::all_of(flash.begin() + USB_WRITTEN, flash.end(), [](uint8_t byte) {
        return byte == 0xFF;
    })) << "the part a USB download never writes is not left erased";
}

}  // namespace
}  // namespace e2e
