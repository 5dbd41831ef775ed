// The millisecond counter, the sleeping delay and its idle hook, deadlines and the virtual clock.
#include "common/clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <thread>
#include <vector>

namespace {

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Runs wait() `rounds` times, each starting at a different point inside a millisecond; returns the
// shortest and median wall time of a round in milliseconds (from just before the call) and the CPU
// share of the whole run.
struct WaitFigures {
    double shortestMs = 1e9;
    double medianMs = 0;
    double cpuShare = 0;
};
template <typename Wait>
WaitFigures MeasureWaits(int rounds, Wait wait) {
    WaitFigures figures;
    std::vector<double> roundMs;
    const double cpuStart = ThreadCpuMs();
    const auto runStart = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(137 * i % 1000));
        const auto start = std::chrono::steady_clock::now();
        wait(start);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        figures.shortestMs = std::min(figures.shortestMs, ms);
        roundMs.push_back(ms);
    }
    std::nth_element(roundMs.begin(), roundMs.begin() + rounds / 2, roundMs.end());
    figures.medianMs = roundMs[static_cast<size_t>(rounds / 2)];
    const double wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - runStart).count();
    figures.cpuShare = (ThreadCpuMs() - cpuStart) / wallMs;
    return figures;
}

}  // namespace

// A wait never ends before its duration has passed since the call (nor since the stamp it is measured
// from), whatever the point in the millisecond it starts at, and sleeps rather than spins. The upper
// bound catches a wait that overshoots in every round (rounding to a coarse timer); it is judged on the
// median round, since a loaded machine delays a single round's wake-up by tens of milliseconds now and
// then (47 ms seen here with two builds running).
TEST(SystemClockTest, WaitsSleepAndNeverEndEarly) {
    const WaitFigures delays = MeasureWaits(25, [](auto) { DelayMs(20); });
    EXPECT_GE(delays.shortestMs, 20.0);
    EXPECT_LT(delays.medianMs, 40.0);
    EXPECT_LT(delays.cpuShare, 0.05);

    // The stamp is taken a little after the measured start, so the wait must cover at least 20 ms.
    const WaitFigures sinceStamp = MeasureWaits(25, [](auto) {
        const ClockStamp stamp = StampNow();
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        DelaySinceMs(stamp, 20);
    });
    EXPECT_GE(sinceStamp.shortestMs, 20.0);
    EXPECT_LT(sinceStamp.cpuShare, 0.05);

    // A stamp already far enough in the past returns at once; one in the future waits for it, and not
    // much longer. The upper bounds are judged on the best of three tries, so a wake-up the scheduler of
    // a loaded machine delayed does not count; a wait that overshoots does so every time.
    const ClockStamp old = StampNow();
    DelayMs(5);
    uint32_t pastStamp = UINT32_MAX;
    uint32_t futureStamp = UINT32_MAX;
    for (int i = 0; i < 3; ++i) {
        uint32_t before = NowMs();
        pastStamp = std::min(pastStamp, ElapsedMs(before, DelaySinceMs(old, 5)));
        before = NowMs();
        const uint32_t waited = ElapsedMs(before, DelaySinceMs(StampNow().PlusMs(30), 0));
        EXPECT_GE(waited, 29u);
        futureStamp = std::min(futureStamp, ElapsedMs(before, DelayMs(0)));
    }
    EXPECT_LE(pastStamp, 1u);
    EXPECT_LE(futureStamp, 40u);
}

// The idle hook runs during long waits on the system clock, never in a wait's last few milliseconds,
// never inside itself, and never on a virtual clock.
TEST(SystemClockTest, IdleHookRunsDuringLongWaitsOnly) {
    int calls = 0;
    int depth = 0;
    int deepest = 0;
    std::chrono::steady_clock::time_point waitEnd;
    bool calledNearEnd = false;
    InstallIdleHook([&] {
        ++calls;
        deepest = std::max(deepest, ++depth);
        // waitEnd is read just before the delay starts, so it may precede the delay's deadline slightly.
        calledNearEnd |= waitEnd - std::chrono::steady_clock::now() <
                         std::chrono::milliseconds(IDLE_HOOK_MARGIN_MS) - std::chrono::microseconds(200);
        DelayMs(2);  // a wait inside the hook only sleeps
        --depth;
    });
    waitEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    DelayMs(200);
    const int longWaitCalls = calls;
    waitEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(IDLE_HOOK_MARGIN_MS);
    DelayMs(IDLE_HOOK_MARGIN_MS);
    const int shortWaitCalls = calls - longWaitCalls;
    {
        VirtualClock clock;
        ScopedClock use(clock);
        DelayMs(5000);
    }
    const int virtualCalls = calls - longWaitCalls - shortWaitCalls;
    InstallIdleHook({});
    EXPECT_GE(longWaitCalls, 5);
    EXPECT_LE(longWaitCalls, 200 / static_cast<int>(IDLE_HOOK_PERIOD_MS) + 1);
    EXPECT_EQ(shortWaitCalls, 0);
    EXPECT_EQ(virtualCalls, 0);
    EXPECT_EQ(deepest, 1);
    EXPECT_FALSE(calledNearEnd);
}

// Cut waits end a sleep under way (here from the idle hook, as a signal handler would) and every later
// one at once, until restored.
TEST(SystemClockTest, CutWaitsEndSleepsUntilRestored) {
    const auto start = std::chrono::steady_clock::now();
    InstallIdleHook([&] {
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(50)) {
            CutWaits();
        }
    });
    DelayMs(5000);
    InstallIdleHook({});
    DelayMs(5000);
    EXPECT_TRUE(WaitsCut());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    RestoreWaits();
    EXPECT_FALSE(WaitsCut());
    const auto restored = std::chrono::steady_clock::now();
    DelayMs(30);
    EXPECT_GE(std::chrono::steady_clock::now() - restored, std::chrono::milliseconds(30));
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
