// The millisecond counter, the busy-wait delay and the installable clock.
#include "common/clock.h"

#include <ctime>

uint32_t SystemClock::ReadMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint32_t SystemClock::WaitMs(uint32_t durationMs) {
    const uint32_t start = ReadMs();
    while (ElapsedMs(start, ReadMs()) < durationMs) {
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

uint32_t DelayMs(uint32_t durationMs) {
    return g_clock->WaitMs(durationMs);
}

uint32_t NowMs() {
    return DelayMs(0);
}

uint32_t TickCount() {
    return g_clock->ReadMs();
}

uint32_t Deadline::RemainingMs() const {
    const uint32_t elapsed = ElapsedMs(m_start, NowMs());
    return elapsed >= m_duration ? 0 : m_duration - elapsed;
}

uint32_t Deadline::MsUntilExceeded() const {
    const uint32_t elapsed = ElapsedMs(m_start, NowMs());
    return elapsed > m_duration ? 1u : m_duration - elapsed + 1u;
}
