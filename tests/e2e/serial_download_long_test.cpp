// End to end, long: a complete serial download over a pseudo-terminal at the protocol's own pace (4096
// blocks at 115200 baud, each at least 100 ms after the last: about nine minutes).
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

using SerialDownloadLong = SimulatorTest;

TEST_F(SerialDownloadLong, CompleteDownloadWritesEveryBlockThenChecksumAndReset) {
    StartSimulator({"--serial", "2", "--pace", "--flash-out", TempFile("flash.bin")}, "COM2");
    CCameraSession session(platform::SystemDevices());
    CameraInfo info;
    char name[40] = {};
    CameraName cameraName;
    cameraName.name = name;
    int32_t notIdentified = -1;
    session.SearchCamera(2, &info, &cameraName, &notIdentified);
    ASSERT_EQ(session.GetResultCode(), 0);
    ASSERT_EQ(notIdentified, 0);

    const std::vector<uint8_t> payload = MakePayload(4096);
    session.DownloadFirmware(payload.data(), RecordStatus);
    EXPECT_EQ(session.GetResultCode(), 0);

    const std::vector<StatusEvent>& events = RecordedEvents();
    ASSERT_EQ(events.size(), 4098u);  // start, 4096 blocks, completion; the erase gives none
    EXPECT_EQ(events.front(), (StatusEvent{STATUS_START, 0, 0}));
    EXPECT_EQ(events[100], (StatusEvent{STATUS_PROGRESS, 2, 0}));
    EXPECT_EQ(events.back(), (StatusEvent{STATUS_COMPLETED, 100, 0}));

    const SimSummary summary = StopSimulator();
    std::vector<uint32_t> blocks;
    std::vector<uint8_t> tail;
    for (const SeenCommand& command : summary.commands) {
        if (command.code == qx::CMD_WRITE_BLOCK) {
            blocks.push_back(command.params[1] * 256u + command.params[2]);
        }
    }
    ASSERT_EQ(blocks.size(), 4096u);
    for (uint32_t n = 0; n < blocks.size(); ++n) {
        ASSERT_EQ(blocks[n], n) << "blocks out of order";
    }
    const std::vector<uint8_t> codes = CommandCodes(summary);
    ASSERT_GE(codes.size(), 3u);
    // After the last block: the checksum, the return to 9600 and the reset.
    EXPECT_EQ(std::vector<uint8_t>(codes.end() - 3, codes.end()),
              (std::vector<uint8_t>{qx::CMD_CHECKSUM, qx::CMD_SET_SPEED, qx::CMD_RESET}));
    EXPECT_EQ(summary.Value("checksum-received"), summary.Value("checksum-computed"));
    EXPECT_EQ(summary.Value("speeds-used"), "1 5 5 1");
    EXPECT_EQ(summary.Value("reset"), "yes");
    ExpectCommandSpacing(summary);

    std::ifstream file(TempFile("flash.bin"), std::ios::binary);
    const std::vector<uint8_t> flash((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    EXPECT_TRUE(flash == payload) << "the flash differs from the payload";
}

}  // namespace
}  // namespace e2e
