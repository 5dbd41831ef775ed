// End to end, long: a complete serial download over a pseudo-terminal at the protocol's own pace (4096
// blocks at 115200 baud, each at least 100 ms after the last: about ten minutes), with the camera behind
// a simulated FTDI adapter at its default 16 ms latency timer, which holds the camera's bytes until its
// tick: the common real setup, and a superset of the plain pty line (which the shorter serial tests
// keep covering).
#include <gtest/gtest.h>

#include "platform/devices.h"
#include "protocol/camera_session.h"
#include "tests/e2e/e2e_support.h"
#include "wire/byte_codes.h"

namespace e2e {
namespace {

using SerialDownloadLong = SimulatorTest;

TEST_F(SerialDownloadLong, CompleteDownloadBehindAnFtdiAdapterWritesEveryBlockThenChecksumAndReset) {
    StartSimulator({"--serial", "2", "--pace", "--adapter", "ftdi:16", "--flash-out", TempFile("flash.bin")},
                   "COM2");
    CCameraSession session(platform::SystemDevices());
    ExpectFound(session, 2);

    const std::vector<uint8_t> payload = MakePayload(4096);
    session.DownloadFirmware(payload.data(), RecordStatus);
    EXPECT_EQ(session.GetResultCode(), 0);

    const std::vector<StatusEvent>& events = RecordedEvents();
    ASSERT_EQ(events.size(), 4098u);  // start, 4096 blocks, completion; the erase gives none
    EXPECT_EQ(events.front(), StatusEvent(STATUS_START, 0, 0));
    EXPECT_EQ(events[100], StatusEvent(STATUS_PROGRESS, 2, 0));
    EXPECT_EQ(events.back(), StatusEvent(STATUS_COMPLETED, 100, 0));

    const SimSummary summary = StopSimulator();
    uint32_t nextBlock = 0;
    for (const SeenCommand& command : summary.commands) {
        if (command.code == 0x1D) {
            ASSERT_EQ(command.params[1] * 256u + command.params[2], nextBlock++) << "blocks out of order";
        }
    }
    EXPECT_EQ(nextBlock, 4096u);
    ASSERT_GE(summary.codes.size(), 3u);
    // After the last block: the checksum, the return to 9600 and the reset.
    EXPECT_EQ(std::vector<uint8_t>(summary.codes.end() - 3, summary.codes.end()),
              (std::vector<uint8_t>{0x21, 0x41, 0xAE}));
    EXPECT_EQ(summary.Value("checksum-received"), summary.Value("checksum-computed"));
    EXPECT_EQ(summary.Value("speeds-used"), "1 5 5 1");
    EXPECT_EQ(summary.Value("reset"), "yes");
    EXPECT_TRUE(ReadFile(TempFile("flash.bin")) == payload) << "the flash differs from the payload";
}

}  // namespace
}  // namespace e2e
