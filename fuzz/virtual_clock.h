// The clock the transfer fuzz target runs on. Every wait of the engine (the pause before an
// answer, the answer time-out, the write wait) moves this clock instead of sleeping, so a run that
// would take minutes on a real line takes microseconds.
#pragma once

#include <cstdint>

namespace romlift::fuzz {

// Nanoseconds since an arbitrary origin; never goes back.
int64_t VirtualNowNs();
// Moves the clock forward to `ns`; a time in the past leaves it where it is.
void AdvanceVirtualClockTo(int64_t ns);
// Sets the clock to `ns` for a fresh run.
void ResetVirtualClock(int64_t ns);

inline constexpr int64_t kNsPerMs = 1'000'000;

}  // namespace romlift::fuzz
