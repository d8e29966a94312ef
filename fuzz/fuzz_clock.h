// The clock the transfer fuzz target runs on. Every wait of the engine (the pause before an
// answer, the answer time-out, the write wait) moves this clock instead of sleeping, so a run that
// would take minutes on a real line takes microseconds.
#pragma once

#include <cstdint>

#include "virtual_clock.h"

namespace romlift::fuzz {

// The one clock of the fuzz run: the engine's (DownloadState::clock) and the fake unit's.
testing::VirtualClock& FuzzClock();

}  // namespace romlift::fuzz
