// The monotonic time on POSIX: CLOCK_MONOTONIC and clock_nanosleep to an absolute deadline.
#include "common/monotonic.h"

#include <sys/prctl.h>

#include <ctime>

namespace {

constexpr int64_t NS_PER_SECOND = 1000000000;

// Linux may let a timer fire up to the thread's timer slack late (50 us by default) to batch wake-ups;
// the command spacing is paid thousands of times in a serial download, so the waiting thread asks for
// none. Once per thread.
void RemoveTimerSlack() {
    thread_local bool removed = false;
    if (!removed) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        removed = true;
    }
}

}  // namespace

int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * NS_PER_SECOND + ts.tv_nsec;
}

// TIMER_ABSTIME wakes within well under a millisecond of the deadline, never before it.
void SleepUntilMonotonicNs(int64_t deadlineNs) {
    RemoveTimerSlack();
    const timespec wake{static_cast<time_t>(deadlineNs / NS_PER_SECOND),
                        static_cast<long>(deadlineNs % NS_PER_SECOND)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
}
