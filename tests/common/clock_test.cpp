// The millisecond counter, the busy-wait delay, deadlines and the virtual clock.
#include "common/clock.h"

#include <gtest/gtest.h>

TEST(SystemClockTest, DelayWaitsAtLeastTheDurationAndReturnsALaterReading) {
    const uint32_t before = NowMs();
    const uint32_t returned = DelayMs(30);
    EXPECT_GE(ElapsedMs(before, returned), 30u);
    EXPECT_GE(ElapsedMs(before, NowMs()), 30u);
    EXPECT_LE(ElapsedMs(before, returned), 200u);
}

TEST(SystemClockTest, ZeroDelayReturnsAtOnce) {
    const uint32_t before = NowMs();
    EXPECT_LE(ElapsedMs(before, DelayMs(0)), 2u);
}

TEST(VirtualClockTest, DelayAdvancesTheInstalledClockAtOnce) {
    VirtualClock clock(500);
    ScopedClock use(clock);
    EXPECT_EQ(NowMs(), 500u);
    EXPECT_EQ(DelayMs(3000), 3500u);
    EXPECT_EQ(TickCount(), 3500u);
    clock.AdvanceTo(3400);  // never backwards
    EXPECT_EQ(NowMs(), 3500u);
    clock.AdvanceTo(4000);
    EXPECT_EQ(NowMs(), 4000u);
}

TEST(VirtualClockTest, WaitsAcrossTheWrapMeasureTheUnsignedDifference) {
    VirtualClock clock(0xFFFFFF00u);
    ScopedClock use(clock);
    Deadline deadline(1000);
    EXPECT_FALSE(deadline.Expired());
    EXPECT_EQ(DelayMs(0x200), 0x100u);  // wrapped past zero
    EXPECT_EQ(ElapsedMs(deadline.StartMs(), NowMs()), 0x200u);
    EXPECT_EQ(deadline.RemainingMs(), 1000u - 0x200u);
    DelayMs(1000);
    EXPECT_TRUE(deadline.Expired());
    EXPECT_EQ(deadline.RemainingMs(), 0u);
}

TEST(ScopedClockTest, RestoresThePreviousClock) {
    IClock* system = &CurrentClock();
    {
        VirtualClock clock;
        ScopedClock use(clock);
        EXPECT_EQ(&CurrentClock(), &clock);
    }
    EXPECT_EQ(&CurrentClock(), system);
}
