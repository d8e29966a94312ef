// How long the engine gives the line and the unit, in milliseconds. The defaults are the unit's
// own timings; every wait of an attempt is taken from here.
#pragma once

#include <cstdint>

namespace romlift {

struct LineTimings {
    uint32_t writeWaitMs = 2000;    // a message must have gone out within this
    uint32_t drainWaitMs = 5000;    // earlier output must have left within this
    uint32_t answerWaitMs = 10000;  // the unit's answer must start within this
    // Before an answer of `count` bytes is read: perByte*count + settle + perByte*count.
    uint32_t pausePerByteMs = 4;
    uint32_t pauseSettleMs = 20;
};

}  // namespace romlift
