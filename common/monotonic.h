// The operating system's monotonic time, in nanoseconds from an arbitrary start, and the sleep to an
// absolute point of it: the two calls the system clock is built on, one file per system
// (posix_monotonic.cpp, win32_monotonic.cpp).
#pragma once

#include <cstdint>

// Now on the monotonic clock. Its milliseconds, truncated to 32 bits, are the program's counter.
int64_t MonotonicNs();
// Sleeps until MonotonicNs() reaches deadlineNs or a little later; may return earlier (a signal), so
// callers check the time and sleep again.
void SleepUntilMonotonicNs(int64_t deadlineNs);
