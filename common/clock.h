// The program's one millisecond clock: a 32-bit counter read from the monotonic clock, the busy-wait
// delay built on it, and the hook that lets tests run everything in virtual time.
//
// Every wait in the updater goes through here (DelayMs, or a link wait that asks the installed clock),
// so replacing the clock with a VirtualClock makes a whole download run in microseconds while every
// time-out, pause and spacing still happens at the right virtual millisecond.
#pragma once

#include <cstdint>

// A source of time. The counter wraps to 0 after 2^32 ms; durations are always measured as the
// unsigned difference of two readings, which stays right across the wrap.
class IClock {
  public:
    virtual ~IClock() = default;
    // The current counter value in milliseconds.
    virtual uint32_t ReadMs() = 0;
    // Returns once durationMs have elapsed on the counter; returns the counter read after the wait.
    virtual uint32_t WaitMs(uint32_t durationMs) = 0;
};

// Milliseconds since an arbitrary start, from CLOCK_MONOTONIC, truncated to 32 bits. WaitMs spins on the
// counter: the updater's pauses are short and must not be stretched by the scheduler.
class SystemClock final : public IClock {
  public:
    uint32_t ReadMs() override;
    uint32_t WaitMs(uint32_t durationMs) override;
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

// Busy-waits until durationMs have elapsed on the counter; returns the counter read after the wait.
uint32_t DelayMs(uint32_t durationMs);
// The current counter value: DelayMs(0).
uint32_t NowMs();
// The system tick counter that the protocol's long waits (completion, ready byte) measure with. It is
// the same counter as NowMs.
uint32_t TickCount();
// Milliseconds from startMs to nowMs on the wrapping counter.
inline uint32_t ElapsedMs(uint32_t startMs, uint32_t nowMs) {
    return nowMs - startMs;
}

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
