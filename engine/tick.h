// The engine's clock: a millisecond tick counter, deadlines, and waits.
//
// Every wait of an attempt goes through a Clock. The download state names the one an attempt uses
// (DownloadState::clock); unset, it is SystemClock(), CLOCK_MONOTONIC with real sleeps. Tests and
// the transfer fuzz target hand in a virtual clock on which a 10 s answer time-out passes at once.
#pragma once

#include <cstdint>
#include <ctime>

namespace romlift {

class Clock {
  public:
    virtual ~Clock() = default;
    // Nanoseconds from an arbitrary origin; never goes back.
    virtual int64_t NowNs() const = 0;
    // Returns once NowNs() >= ns, or earlier once `stopFd` (-1: none) turns readable.
    virtual void SleepUntilNs(int64_t ns, int stopFd) const = 0;

  protected:
    Clock() = default;
    Clock(const Clock&) = default;
    Clock& operator=(const Clock&) = default;
};

// CLOCK_MONOTONIC; sleeps in clock_nanosleep() or, with a stop descriptor, in poll().
const Clock& SystemClock();

// Milliseconds on CLOCK_MONOTONIC, truncated to 32 bits: it wraps every 49.7 days, like the tick
// counter the unit timings were first written against.
using Tick = uint32_t;
Tick GetTickCount();

// Milliseconds from `start` to `now`, correct across one wrap of the counter.
constexpr uint32_t TicksBetween(Tick start, Tick now) {
    return now - start;
}

inline constexpr int64_t kNsPerMs = 1'000'000;

// An instant on a clock, with nanosecond resolution. Waits are measured with it so that a 28 ms
// pause before a read costs 28 ms and not up to 29, while still honouring the rule that a wait of
// N ms returns only after more than N ms. The clock must outlive the deadline.
class Deadline {
  public:
    // The instant more than `ms` milliseconds after now, on `clock`.
    static Deadline AfterMs(const Clock& clock, uint32_t ms);
    // The same on SystemClock().
    static Deadline AfterMs(uint32_t ms) { return AfterMs(SystemClock(), ms); }
    // The instant more than `ms` milliseconds after this one.
    Deadline Plus(uint32_t ms) const;
    bool Passed() const { return clock_->NowNs() >= ns_; }
    // Milliseconds left, rounded up, for poll(); 0 once passed.
    int RemainingMsForPoll() const;
    int64_t Ns() const { return ns_; }
    timespec When() const;
    const Clock& On() const { return *clock_; }

  private:
    Deadline(const Clock& clock, int64_t ns) : clock_(&clock), ns_(ns) {}
    const Clock* clock_;
    int64_t ns_;
};

// Sleeps until the deadline on its clock. Restarts after signals.
void SleepUntil(const Deadline& deadline);

}  // namespace romlift

namespace romlift::FirmwareHelper {

// Returns once more than `ms` milliseconds have passed on SystemClock(). Sleeps rather than spins.
void Delay(uint32_t ms);

}  // namespace romlift::FirmwareHelper
