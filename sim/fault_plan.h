// Seeded random faults for the virtual unit: one fault (or none) per attempt, drawn before the
// attempt's first answer, so that a seed and an attempt number name the same misbehaviour on
// every run and on every machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "unit_exchange.h"

namespace vx7r {

struct RandomFaults {
    bool enabled = false;
    uint64_t seed = 0;
    // Share of attempts that get a fault, in percent (0..100); the others run clean.
    int ratePercent = 80;
    // Frame numbers a fault may hit are drawn from 1..frames. A fault aimed past the image's
    // last frame never fires and the attempt runs clean.
    int frames = 3;
    // Also draw faults that leave a correct host waiting out its answer time (silence, a hang-up
    // while the host waits for an answer). Each costs the host 10 s.
    bool slow = true;
};

enum class FaultKind {
    None,
    WrongByte,        // the unit answers a wrong byte and gives the attempt up
    FlippedBit,       // the line flips one bit of the answer; the unit carries on
    GarbageBefore,    // noise on the line just before the answer; the unit carries on
    GarbageAfter,     // noise on the line just after the answer; the unit carries on
    Doubled,          // the answer goes out twice; the unit carries on
    Silent,           // no answer; the unit gives the attempt up
    Burst,            // a burst of noise instead of the answer; the unit gives the attempt up
    HangUpBefore,     // the unit hangs up the line instead of answering
    HangUpAfter,      // the unit answers, and hangs up once the host has read the answer
    HangUpMidAnswer,  // noise begins the answer, and the line goes once the host read some of it
};

const char* FaultKindName(FaultKind kind);

struct FaultPlan {
    FaultKind kind = FaultKind::None;
    Phase phase = Phase::WakeUp;  // the message whose answer the fault spoils
    int frame = 0;                // 1-based, for Phase::Frame
    // WrongByte: the byte; FlippedBit: the mask (one bit); the noise kinds: the noise. A first
    // byte that happens to equal the good answer is changed (top bit flipped) when applied, so
    // the fault is never a disguised good answer.
    std::vector<uint8_t> bytes;

    // True when a correct host waits out its 10 s answer time because of this fault.
    bool Slow() const;
    // One line, e.g. "seed 7 attempt 1: garbage-before at frame 2: 3F 00 A1".
    std::string Describe() const;
    uint64_t seed = 0;
    int attempt = 0;
};

// The plan for attempt `attempt` (1-based) of a unit with these options: a pure function of
// (seed, attempt, rate, frames, slow). Uses std::mt19937, whose output the standard fixes, and
// no standard distribution, whose output it does not.
FaultPlan PlanFault(const RandomFaults& options, int attempt);

}  // namespace vx7r
