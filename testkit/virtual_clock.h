// A clock for the engine that moves only when something waits on it: a 10 s answer time-out
// passes at once, to the nanosecond, however busy the machine is.
#pragma once

#include <cstdint>

#include "tick.h"

namespace romlift::testing {

class VirtualClock final : public Clock {
  public:
    explicit VirtualClock(int64_t startNs = 0) : now_(startNs) {}

    int64_t NowNs() const override { return now_; }
    // Moves the clock forward to `ns`, unless the stop descriptor is already readable (a stop
    // requested before the wait ends it at once, as on the real clock).
    void SleepUntilNs(int64_t ns, int stopFd) const override;

    // Moves the clock forward to `ns`; a time in the past leaves it where it is.
    void AdvanceTo(int64_t ns) const;
    // Sets the clock to `ns` for a fresh run.
    void Reset(int64_t ns) { now_ = ns; }

  private:
    // Waiting is what moves a virtual clock, and the engine waits through a const Clock.
    mutable int64_t now_;
};

}  // namespace romlift::testing
