// End to end over the USB driver socket: the updater's camera session on the machine's devices against
// the camera simulator program serving QX410U-001, on the real clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "platform/devices.h"
#include "protocol/byte_codes.h"
#include "protocol/camera_session.h"
#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

using UsbEndToEnd = SimulatorTest;

// The part of the payload a USB download writes: 248 blocks of 4096 bytes.
constexpr size_t USB_WRITTEN = 1015808;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST_F(UsbEndToEnd, SearchAndCompleteDownloadLeaveThePayloadInFlash) {
    StartSimulator({"--usb", "1", "--flash-out", TempFile("flash.bin")}, "QX410U-001");
    CCameraSession session(platform::SystemDevices());

    CameraInfo info;
    char name[40] = {};
    CameraName cameraName;
    cameraName.name = name;
    int32_t notIdentified = -1;
    session.SearchCamera(PORT_USB, &info, &cameraName, &notIdentified);
    ASSERT_EQ(session.GetResultCode(), 0);
    EXPECT_EQ(notIdentified, 0);
    EXPECT_EQ(info.version, 0x01000600u);
    EXPECT_EQ(std::string(name, 16), "Corva QX410 Zoom");

    const std::vector<uint8_t> payload = MakePayload(410);
    session.DownloadFirmware(payload.data(), RecordStatus);
    EXPECT_EQ(session.GetResultCode(), 0);

    // Erase phase: start, one event per erase command (u * 100 / 256), completion; then the write phase.
    std::vector<StatusEvent> expected = {{STATUS_START, 0, 1}};
    for (int unit = 0; unit < 256; unit += 16) {
        expected.push_back({STATUS_PROGRESS, unit * 100 / 256, 1});
    }
    expected.push_back({STATUS_COMPLETED, 100, 1});
    expected.push_back({STATUS_START, 0, 0});
    for (int block = 0; block < qx::USB_BLOCK_COUNT; ++block) {
        expected.push_back({STATUS_PROGRESS, (block + 1) * 100 / qx::USB_BLOCK_COUNT, 0});
    }
    expected.push_back({STATUS_COMPLETED, 100, 0});
    EXPECT_EQ(RecordedEvents(), expected);

    const SimSummary summary = StopSimulator();
    const std::vector<uint8_t> codes = CommandCodes(summary);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), qx::CMD_ERASE_BLOCKS), 16);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), qx::CMD_WRITE_BLOCK), qx::USB_BLOCK_COUNT);
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes[codes.size() - 2], qx::CMD_CHECKSUM);
    EXPECT_EQ(codes.back(), qx::CMD_RESET);
    EXPECT_EQ(summary.Value("blocks-first-last"), "0 247");
    EXPECT_NE(summary.Value("checksum-received"), "none");
    EXPECT_EQ(summary.Value("checksum-received"), summary.Value("checksum-computed"));
    EXPECT_EQ(summary.Value("reset"), "yes");
    ExpectCommandSpacing(summary);

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
