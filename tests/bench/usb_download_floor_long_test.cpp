// One complete USB download against the paced simulator, as the benchmark measures it: the update time
// never beats the protocol's floor (the waits never end early and the floor counts only what the
// protocol mandates), stays within half a percent of it, and the updater sleeps through its waits.
#include <gtest/gtest.h>

#include "bench/download_measure.h"

TEST(UsbDownloadFloorLong, UpdateTimeHoldsTheFloorWhileTheUpdaterSleeps) {
    const bench::DownloadFigures figures = bench::MeasureDownload(true);
    ASSERT_TRUE(figures.valid) << figures.error;
    std::printf(
        "USB download: update time %.3f s, floor %.3f s, ratio %.4f, CPU time %.2f s, CPU share %.2f%%\n",
        figures.measuredMs / 1000, figures.floor.TotalMs() / 1000, figures.Ratio(), figures.cpuMs / 1000,
        100 * figures.CpuShare());
    EXPECT_GE(figures.Ratio(), 1.0);
    EXPECT_LE(figures.Ratio(), 1.005);
    EXPECT_LT(figures.CpuShare(), 0.05);
}
