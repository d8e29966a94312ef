// Line timings for cases over a pseudo-terminal that wait out a silent unit. The virtual unit
// answers within milliseconds, so a shorter answer wait changes nothing but how long the case
// sits: these cases check the fault's course (texts, outcome, a released port), and the unit's
// own 10 s wait is checked to the nanosecond on a virtual clock instead.
#pragma once

#include <cstdint>

#include "line_timings.h"

namespace romlift::testing {

inline constexpr uint32_t kQuickAnswerWaitMs = 1000;

inline LineTimings QuickTimings() {
    LineTimings t;
    t.answerWaitMs = kQuickAnswerWaitMs;
    return t;
}

}  // namespace romlift::testing
