// Millisecond tick counter and waits.
//
// Implementations (one is linked beside romlift_engine_core): tick.cpp in romlift_engine_posix,
// CLOCK_MONOTONIC and real sleeps; fuzz/virtual_tick.cpp in romlift_engine_fake, a virtual clock
// that a wait only moves forward.
#pragma once

#include <cstdint>
#include <ctime>

namespace romlift {

// Milliseconds on CLOCK_MONOTONIC, truncated to 32 bits: it wraps every 49.7 days, like the tick
// counter the unit timings were first written against.
using Tick = uint32_t;
Tick GetTickCount();

// Milliseconds from `start` to `now`, correct across one wrap of the counter.
constexpr uint32_t TicksBetween(Tick start, Tick now) {
    return now - start;
}

// A point on CLOCK_MONOTONIC with nanosecond resolution. Waits are measured with it so that a
// 28 ms pause before a read costs 28 ms and not up to 29, while still honouring the rule that a
// wait of N ms returns only after more than N ms.
class Deadline {
  public:
    // The instant more than `ms` milliseconds after now.
    static Deadline AfterMs(uint32_t ms);
    // The instant more than `ms` milliseconds after this one.
    Deadline Plus(uint32_t ms) const;
    bool Passed() const;
    // Milliseconds left, rounded up, for poll(); 0 once passed.
    int RemainingMsForPoll() const;
    const timespec& When() const { return when_; }

  private:
    timespec when_{};
};

// Sleeps until more than `ms` milliseconds have passed. Restarts after signals.
void SleepUntil(const Deadline& deadline);

}  // namespace romlift

namespace romlift::FirmwareHelper {

// Returns once more than `ms` milliseconds have passed. Sleeps rather than spins.
void Delay(uint32_t ms);

}  // namespace romlift::FirmwareHelper
