// The monotonic time on Windows. The millisecond counter is timeGetTime's: the first reading pairs it
// with the performance counter, which then carries it on with sub-millisecond resolution, so the
// counter starts at timeGetTime's value and wraps with it, and a wait measured from a stamp knows how
// far into its millisecond it was taken.
//
// Waits sleep on a waitable timer (high resolution where the system has it, which wakes within about
// half a millisecond; otherwise the scheduler's tick), set to the time left before the deadline and
// rounded up, so a wake is never before the deadline; the caller checks the time and sleeps again if
// the timer fired early all the same.
#include "common/monotonic.h"

#include <windows.h>

#include <mmsystem.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

constexpr int64_t NS_PER_MS = 1000000;
constexpr int64_t NS_PER_SECOND = 1000000000;
constexpr int64_t NS_PER_TIMER_UNIT = 100;

struct CounterOrigin {
    int64_t frequency = 1;
    int64_t startCount = 0;
    int64_t startNs = 0;
};

const CounterOrigin& Origin() {
    static const CounterOrigin origin = [] {
        CounterOrigin value;
        LARGE_INTEGER frequency{};
        LARGE_INTEGER count{};
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&count);
        value.frequency = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
        value.startCount = count.QuadPart;
        value.startNs = static_cast<int64_t>(timeGetTime()) * NS_PER_MS;
        return value;
    }();
    return origin;
}

// One timer per waiting thread, made on its first wait.
HANDLE ThreadTimer() {
    thread_local HANDLE timer = [] {
        HANDLE made =
            CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (made == nullptr) {
            made = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
        }
        return made;
    }();
    return timer;
}

}  // namespace

int64_t MonotonicNs() {
    const CounterOrigin& origin = Origin();
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    const int64_t ticks = count.QuadPart - origin.startCount;
    const int64_t seconds = ticks / origin.frequency;
    const int64_t rest = ticks % origin.frequency;
    return origin.startNs + seconds * NS_PER_SECOND + rest * NS_PER_SECOND / origin.frequency;
}

// A console's Ctrl+C arrives on a thread of its own and cannot interrupt this sleep as a signal does on
// POSIX, so one sleep lasts at most MAX_SLICE_NS: the caller looks at the time (and at CutWaits) between
// slices.
void SleepUntilMonotonicNs(int64_t deadlineNs) {
    constexpr int64_t MAX_SLICE_NS = 50 * NS_PER_MS;
    int64_t remainingNs = deadlineNs - MonotonicNs();
    if (remainingNs <= 0) {
        return;
    }
    if (remainingNs > MAX_SLICE_NS) {
        remainingNs = MAX_SLICE_NS;
    }
    HANDLE timer = ThreadTimer();
    if (timer == nullptr) {
        Sleep(static_cast<DWORD>((remainingNs + NS_PER_MS - 1) / NS_PER_MS));
        return;
    }
    // Negative: relative to now, in 100 ns units.
    LARGE_INTEGER due{};
    due.QuadPart = -((remainingNs + NS_PER_TIMER_UNIT - 1) / NS_PER_TIMER_UNIT);
    if (!SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        Sleep(static_cast<DWORD>((remainingNs + NS_PER_MS - 1) / NS_PER_MS));
        return;
    }
    WaitForSingleObject(timer, INFINITE);
}
