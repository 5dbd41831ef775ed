// The millisecond counter, the sleeping delay, the idle hook and the installable clock.
#include "common/clock.h"

#include <algorithm>
#include <csignal>
#include <utility>

#include "common/monotonic.h"

namespace {

constexpr int64_t NS_PER_MS = 1000000;

ClockStamp StampOf(int64_t ns) {
    return ClockStamp{static_cast<uint32_t>(ns / NS_PER_MS), static_cast<uint32_t>(ns % NS_PER_MS)};
}

std::function<void()> g_idleHook;
bool g_inIdleHook = false;
volatile std::sig_atomic_t g_waitsCut = 0;

// Runs the hook once, unless it is running already (a wait inside it only sleeps).
void RunIdleHook() {
    if (!g_idleHook || g_inIdleHook) {
        return;
    }
    g_inIdleHook = true;
    g_idleHook();
    g_inIdleHook = false;
}

// Sleeps until the monotonic clock reaches deadlineNs. With an idle hook installed the sleep is cut into
// slices with the hook between them while more than the margin is left. Cut waits (CutWaits) end it at
// once: the signal that cuts them interrupts the sleep.
void SleepUntilNs(int64_t deadlineNs) {
    for (;;) {
        int64_t now = MonotonicNs();
        if (now >= deadlineNs || g_waitsCut != 0) {
            return;
        }
        int64_t wakeNs = deadlineNs;
        if (g_idleHook && !g_inIdleHook && deadlineNs - now > IDLE_HOOK_MARGIN_MS * NS_PER_MS) {
            RunIdleHook();
            now = MonotonicNs();
            wakeNs = std::min(deadlineNs, now + IDLE_HOOK_PERIOD_MS * NS_PER_MS);
        }
        // A sleep that ends early (a signal) simply goes round again; the deadline is absolute.
        SleepUntilMonotonicNs(wakeNs);
    }
}

}  // namespace

uint32_t IClock::WaitSinceMs(ClockStamp since, uint32_t durationMs) {
    const auto elapsed = static_cast<int32_t>(ReadMs() - since.ms);
    const int64_t remaining = static_cast<int64_t>(durationMs) - elapsed;
    if (remaining <= 0) {
        return ReadMs();
    }
    return WaitMs(static_cast<uint32_t>(remaining));
}

uint32_t SystemClock::ReadMs() {
    return StampOf(MonotonicNs()).ms;
}

ClockStamp SystemClock::ReadStamp() {
    return StampOf(MonotonicNs());
}

uint32_t SystemClock::WaitMs(uint32_t durationMs) {
    if (durationMs > 0) {
        SleepUntilNs(MonotonicNs() + static_cast<int64_t>(durationMs) * NS_PER_MS);
    }
    return ReadMs();
}

uint32_t SystemClock::WaitSinceMs(ClockStamp since, uint32_t durationMs) {
    const int64_t nowNs = MonotonicNs();
    const ClockStamp now = StampOf(nowNs);
    // Signed, so that a stamp set ahead of now (the pause after an open) waits from that future point.
    const int64_t elapsedNs = static_cast<int64_t>(static_cast<int32_t>(now.ms - since.ms)) * NS_PER_MS +
                              static_cast<int64_t>(now.fractionNs) - static_cast<int64_t>(since.fractionNs);
    const int64_t remainingNs = static_cast<int64_t>(durationMs) * NS_PER_MS - elapsedNs;
    if (remainingNs > 0) {
        SleepUntilNs(nowNs + remainingNs);
    }
    return ReadMs();
}

uint32_t VirtualClock::WaitMs(uint32_t durationMs) {
    m_now += durationMs;
    return m_now;
}

void VirtualClock::AdvanceTo(uint32_t targetMs) {
    const uint32_t ahead = targetMs - m_now;
    // A target "behind" the clock shows up as a huge forward distance; never move backwards.
    if (ahead < 0x80000000u) {
        m_now = targetMs;
    }
}

namespace {
SystemClock g_systemClock;
IClock* g_clock = &g_systemClock;
}  // namespace

IClock& CurrentClock() {
    return *g_clock;
}

IClock* InstallClock(IClock* clock) {
    IClock* previous = g_clock;
    g_clock = clock != nullptr ? clock : &g_systemClock;
    return previous;
}

void InstallIdleHook(std::function<void()> hook) {
    g_idleHook = std::move(hook);
}

void CutWaits() {
    g_waitsCut = 1;
}

void RestoreWaits() {
    g_waitsCut = 0;
}

bool WaitsCut() {
    return g_waitsCut != 0;
}

uint32_t DelayMs(uint32_t durationMs) {
    return g_clock->WaitMs(durationMs);
}

ClockStamp StampNow() {
    return g_clock->ReadStamp();
}

uint32_t DelaySinceMs(ClockStamp since, uint32_t durationMs) {
    return g_clock->WaitSinceMs(since, durationMs);
}

uint32_t NowMs() {
    return DelayMs(0);
}

uint32_t TickCount() {
    return NowMs();
}

uint32_t Deadline::RemainingMs() const {
    const uint32_t elapsed = ElapsedMs(m_start, NowMs());
    return elapsed >= m_duration ? 0 : m_duration - elapsed;
}

uint32_t Deadline::MsUntilExceeded() const {
    const uint32_t elapsed = ElapsedMs(m_start, NowMs());
    return elapsed > m_duration ? 1u : m_duration - elapsed + 1u;
}
