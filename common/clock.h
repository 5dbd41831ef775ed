// The program's one millisecond clock: a 32-bit counter read from the monotonic clock, the delay built
// on it, and the hook that lets tests run everything in virtual time.
//
// Every wait in the updater goes through here (DelayMs, or a link wait that asks the installed clock),
// so replacing the clock with a VirtualClock makes a whole download run in microseconds while every
// time-out, pause and spacing still happens at the right virtual millisecond.
//
// There is one counter, read under three names by three kinds of code:
//  - NowMs(): the program's millisecond counter (DelayMs(0)). The links, the protocol, the command line
//    and the dialogs read the time with it: spacings, deadlines, time stamps.
//  - TickCount(): the system tick counter that the limits on a camera's busy answers are measured with
//    (a reply, a completion, the ready byte). Its value is NowMs's; the name keeps those rules as they
//    are written.
//  - IClock::ReadMs(): a clock's own reading, for the clocks themselves and for code that drives a clock
//    it holds (the virtual devices, tests). The program reads the installed clock only through the two
//    functions above.
// StampNow() is NowMs with the fraction of the millisecond, for waits measured from an exact moment.
#pragma once

#include <cstdint>
#include <functional>

// A reading of the millisecond counter together with how far into that millisecond it was taken, so a
// wait measured from it ends neither early nor a whole millisecond late.
struct ClockStamp {
    uint32_t ms = 0;
    uint32_t fractionNs = 0;  // 0..999999
    // The same point in the millisecond, durationMs later on the counter.
    ClockStamp PlusMs(uint32_t durationMs) const { return ClockStamp{ms + durationMs, fractionNs}; }
};

// A source of time. The counter wraps to 0 after 2^32 ms; durations are always measured as the
// unsigned difference of two readings, which stays right across the wrap.
class IClock {
  public:
    virtual ~IClock() = default;
    // The current counter value in milliseconds.
    virtual uint32_t ReadMs() = 0;
    // Returns once durationMs have elapsed on the counter; returns the counter read after the wait.
    virtual uint32_t WaitMs(uint32_t durationMs) = 0;
    // The current reading with its fraction; a clock that counts whole milliseconds has none.
    virtual ClockStamp ReadStamp() { return ClockStamp{ReadMs(), 0}; }
    // Returns once durationMs have elapsed since `since` (at once when they already have; a stamp up to
    // 2^31 ms ahead counts as the future); returns the counter read after the wait.
    virtual uint32_t WaitSinceMs(ClockStamp since, uint32_t durationMs);
};

// Milliseconds since an arbitrary start, from the system's monotonic clock (CLOCK_MONOTONIC; on Windows
// timeGetTime carried on by the performance counter), truncated to 32 bits. The waits sleep to an
// absolute deadline on that clock measured from the exact moment of the call (clock_nanosleep with
// TIMER_ABSTIME, or a high-resolution waitable timer, checked again on waking), so a wait neither burns
// a core nor ends early because the counter was read late in a millisecond.
class SystemClock final : public IClock {
  public:
    uint32_t ReadMs() override;
    uint32_t WaitMs(uint32_t durationMs) override;
    ClockStamp ReadStamp() override;
    uint32_t WaitSinceMs(ClockStamp since, uint32_t durationMs) override;
};

// A clock that only moves when told to: WaitMs advances it at once by the duration. Links that wait for
// bytes in virtual time call Advance themselves.
class VirtualClock final : public IClock {
  public:
    explicit VirtualClock(uint32_t startMs = 1000) : m_now(startMs) {}
    uint32_t ReadMs() override { return m_now; }
    uint32_t WaitMs(uint32_t durationMs) override;
    void Advance(uint32_t durationMs) { m_now += durationMs; }
    // Moves the clock forward to the given reading (never backwards, measured across the wrap).
    void AdvanceTo(uint32_t targetMs);

  private:
    uint32_t m_now;
};

// The clock in use. Starts as a process-wide SystemClock.
IClock& CurrentClock();
// Installs a clock (nullptr restores the system clock); returns the previous one.
IClock* InstallClock(IClock* clock);

// Installs a clock for the lifetime of the object; tests use it around a virtual-time scenario.
class ScopedClock {
  public:
    explicit ScopedClock(IClock& clock) : m_previous(InstallClock(&clock)) {}
    ~ScopedClock() { InstallClock(m_previous); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

  private:
    IClock* m_previous;
};

// Returns once durationMs have elapsed since the call, never before; returns the counter read after the
// wait. On the system clock it sleeps.
uint32_t DelayMs(uint32_t durationMs);
// The current reading with its fraction of a millisecond.
ClockStamp StampNow();
// Returns once durationMs have elapsed since `since`, never before (at once when they already have).
uint32_t DelaySinceMs(ClockStamp since, uint32_t durationMs);
// The program's millisecond counter: DelayMs(0).
uint32_t NowMs();
// The system tick counter of the limits on busy answers; the same counter as NowMs (see the top of this
// file).
uint32_t TickCount();
// Milliseconds from startMs to nowMs on the wrapping counter.
inline uint32_t ElapsedMs(uint32_t startMs, uint32_t nowMs) {
    return nowMs - startMs;
}

// Work to do while the system clock sleeps through a wait of more than a few milliseconds: the desktop
// program answers its window system there (repaints, liveness checks) without taking user input. The
// hook runs on the waiting thread, about every IDLE_HOOK_PERIOD_MS, never while it is already running
// (a wait inside the hook just sleeps), and never when less than IDLE_HOOK_MARGIN_MS of the wait is left,
// so a hook that returns promptly never makes a wait end late. An empty function removes it. Virtual
// clocks never call it.
constexpr uint32_t IDLE_HOOK_PERIOD_MS = 20;
constexpr uint32_t IDLE_HOOK_MARGIN_MS = 10;
void InstallIdleHook(std::function<void()> hook);

// Cutting the waits short, for a program asked to stop (Ctrl+C) while it searches for the camera.
// CutWaits only sets a flag, so a signal handler may call it. From then until RestoreWaits a sleep of
// the system clock returns at once, and the links neither open a serial port nor send or wait for bytes:
// each remaining step of the sequence under way fails at once without touching the wire, so the sequence
// ends at its next step. A run that never calls CutWaits keeps every wait and every byte as it was.
// Virtual clocks ignore it.
void CutWaits();
void RestoreWaits();
bool WaitsCut();

// A deadline on the wrapping counter: one attempt always happens, then "expired" once the time is up.
class Deadline {
  public:
    explicit Deadline(uint32_t durationMs) : m_start(NowMs()), m_duration(durationMs) {}
    Deadline(uint32_t startMs, uint32_t durationMs) : m_start(startMs), m_duration(durationMs) {}
    // True once at least the duration has passed since the start.
    bool Expired() const { return ElapsedMs(m_start, NowMs()) >= m_duration; }
    // Milliseconds left, 0 when expired.
    uint32_t RemainingMs() const;
    // True once more than the duration has passed: the bound of an allowance that includes its last
    // millisecond (the serial transfers' queue and write allowances).
    bool Exceeded() const { return ElapsedMs(m_start, NowMs()) > m_duration; }
    // Milliseconds until Exceeded turns true, at least 1.
    uint32_t MsUntilExceeded() const;
    uint32_t StartMs() const { return m_start; }

  private:
    uint32_t m_start;
    uint32_t m_duration;
};
