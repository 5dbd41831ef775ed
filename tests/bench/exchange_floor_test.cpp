// The download floor worked out from a wire log: which pauses count before and after each command, and
// bytes at their own line rate.
#include "bench/exchange_floor.h"

#include <gtest/gtest.h>

#include <string>

namespace bench {
namespace {

const std::string TIMES =
    "0.000000 # times ack=2 ready=5 completion=5 access=20 erase=200 block=3 checksum=20 reset=30 "
    "restart=100 "
    "busy=100 gap=500\n";

std::string Command(const char* code, unsigned baud) {
    return "1.000000 H>C " + std::to_string(baud) + " " + code +
           " 00 00 00 00 00 00 1a\n1.000000 # command " + code + " 00 00 00 00 00 00 at " +
           std::to_string(baud) + " (camera time 1000 ms)\n";
}

std::string Reply(unsigned baud, int count) {
    std::string line = "1.000000 C>H " + std::to_string(baud);
    for (int i = 0; i < count; ++i) {
        line += " 00";
    }
    return line + "\n";
}

TEST(DownloadFloor, SerialCountsPausesPerCommandAndBytesAtTheirRate) {
    // A search exchange first (not part of the download), then a shortened serial download.
    const std::string log = TIMES + Command("7f", 9600) + Reply(9600, 259) + Command("41", 9600) +
                            Reply(9600, 1) + Command("1e", 115200) + Reply(115200, 2) +
                            Command("41", 115200) + Reply(115200, 1) + Command("1d", 115200) +
                            Reply(115200, 260) + Command("21", 115200) + Reply(115200, 2) +
                            Command("41", 115200) + Reply(115200, 1) + Command("ae", 9600) + Reply(9600, 2);
    const DownloadFloor floor = ComputeDownloadFloor(log, false);
    ASSERT_TRUE(floor.valid) << floor.error;
    EXPECT_EQ(floor.commands, 7u);
    // Before: 0, 200, 100, 100, 500, 500, 1500; after: 100 (speed) x3, 3000 (erase), 5000, 3000; end 200.
    EXPECT_DOUBLE_EQ(floor.waitsMs, 2900 + 300 + 3000 + 5000 + 3000 + 200);
    // Bytes from the first speed command on: 8 + 1 at 9600, the middle at 115200, 8 + 2 at 9600.
    const uint64_t fast = 8 + 2 + 8 + 1 + 8 + 260 + 8 + 2 + 8 + 1;
    EXPECT_EQ(floor.bytes, 9 + fast + 10);
    EXPECT_NEAR(floor.bytesMs, 19 * 10000.0 / 9600 + static_cast<double>(fast) * 10000.0 / 115200, 1e-9);
    // Acknowledgements 2 ms each (two for the block), the block write 3 ms; the rest hides under pauses.
    EXPECT_DOUBLE_EQ(floor.cameraMs, 2 + 2 + 2 + (2 + 2 + 3) + 2);
}

TEST(DownloadFloor, UsbPausesBeforeEveryEraseAndCountsNoLineTime) {
    const std::string log = TIMES + Command("1e", 0) + Reply(0, 2) + Command("1e", 0) + Reply(0, 2) +
                            Command("1d", 0) + Reply(0, 4099) + Command("21", 0) + Reply(0, 2) +
                            Command("ae", 0) + Reply(0, 2);
    const DownloadFloor floor = ComputeDownloadFloor(log, true);
    ASSERT_TRUE(floor.valid) << floor.error;
    EXPECT_DOUBLE_EQ(floor.waitsMs, 200 + 3000 + 200 + 3000 + 100 + 500 + 5000 + 1000 + 3000 + 200);
    EXPECT_DOUBLE_EQ(floor.bytesMs, 0);
}

TEST(DownloadFloor, RefusesLogsWithoutACompleteDownload) {
    EXPECT_FALSE(ComputeDownloadFloor(Command("1e", 0), true).valid);  // no times header
    EXPECT_FALSE(ComputeDownloadFloor(TIMES + Command("7f", 9600), false).valid);
    EXPECT_FALSE(ComputeDownloadFloor(TIMES + Command("1e", 0) + Command("1d", 0), true).valid);  // no reset
}

}  // namespace
}  // namespace bench
