#include "fault_plan.h"

#include <random>

#include "hex.h"

namespace vx7r {

const char* FaultKindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::None:
            return "no fault";
        case FaultKind::WrongByte:
            return "wrong byte";
        case FaultKind::FlippedBit:
            return "flipped bit";
        case FaultKind::GarbageBefore:
            return "garbage before";
        case FaultKind::GarbageAfter:
            return "garbage after";
        case FaultKind::Doubled:
            return "doubled";
        case FaultKind::Silent:
            return "silent";
        case FaultKind::Burst:
            return "burst";
        case FaultKind::HangUpBefore:
            return "hang-up before";
        case FaultKind::HangUpAfter:
            return "hang-up after";
        case FaultKind::HangUpMidAnswer:
            return "hang-up mid-answer";
    }
    return "?";
}

bool FaultPlan::Slow() const {
    switch (kind) {
        case FaultKind::Silent:
        case FaultKind::HangUpBefore:
            return true;
        case FaultKind::HangUpAfter:
            // After the end answer the host has nothing left to wait for.
            return phase != Phase::End;
        default:
            return false;
    }
}

std::string FaultPlan::Describe() const {
    std::string text =
        "seed " + std::to_string(seed) + " attempt " + std::to_string(attempt) + ": ";
    text += FaultKindName(kind);
    if (kind == FaultKind::None) {
        return text;
    }
    text += std::string(" at ") + PhaseName(phase);
    if (phase == Phase::Frame) {
        text += " " + std::to_string(frame);
    }
    if (!bytes.empty()) {
        text += ": " + romlift::Hex(bytes, romlift::HexCase::Upper, ' ');
    }
    return text;
}

namespace {

constexpr FaultKind kFast[] = {
    FaultKind::WrongByte,       FaultKind::FlippedBit, FaultKind::GarbageBefore,
    FaultKind::GarbageAfter,    FaultKind::Doubled,    FaultKind::Burst,
    FaultKind::HangUpMidAnswer,
};
constexpr FaultKind kAll[] = {
    FaultKind::WrongByte,       FaultKind::FlippedBit, FaultKind::GarbageBefore,
    FaultKind::GarbageAfter,    FaultKind::Doubled,    FaultKind::Burst,
    FaultKind::HangUpMidAnswer, FaultKind::Silent,     FaultKind::HangUpBefore,
    FaultKind::HangUpAfter,
};
// Answers a unit can give somewhere in the exchange, so a wrong byte is often a plausible one.
constexpr uint8_t kTelling[] = {0x00, 0xFF, 0x51, 0xFC, 0xFD, 0xFE, 0x99, 0xCC, 0x01};

}  // namespace

FaultPlan PlanFault(const RandomFaults& options, int attempt) {
    FaultPlan plan;
    plan.seed = options.seed;
    plan.attempt = attempt;
    std::seed_seq seq{static_cast<uint32_t>(options.seed),
                      static_cast<uint32_t>(options.seed >> 32), static_cast<uint32_t>(attempt)};
    std::mt19937 rng(seq);
    auto below = [&rng](uint32_t n) { return n == 0 ? 0u : static_cast<uint32_t>(rng() % n); };
    auto noise = [&](uint32_t least, uint32_t most) {
        std::vector<uint8_t> bytes(least + below(most - least + 1));
        for (uint8_t& b : bytes) {
            b = static_cast<uint8_t>(rng());
        }
        return bytes;
    };

    if (!options.enabled || static_cast<int>(below(100)) >= options.ratePercent) {
        return plan;
    }
    const int frames = options.frames < 1 ? 1 : options.frames;
    const int at = static_cast<int>(below(static_cast<uint32_t>(frames) + 4));
    if (at < 3) {
        plan.phase = at == 0 ? Phase::WakeUp : at == 1 ? Phase::Header : Phase::Checksum;
    } else if (at < 3 + frames) {
        plan.phase = Phase::Frame;
        plan.frame = at - 2;
    } else {
        plan.phase = Phase::End;
    }
    plan.kind = kAll[below(std::size(kAll))];
    if (!options.slow && plan.Slow()) {
        plan.kind = kFast[below(std::size(kFast))];
    }
    switch (plan.kind) {
        case FaultKind::WrongByte: {
            const uint32_t pick = below(std::size(kTelling) + 1);
            plan.bytes = {pick < std::size(kTelling) ? kTelling[pick]
                                                     : static_cast<uint8_t>(rng())};
            break;
        }
        case FaultKind::FlippedBit:
            plan.bytes = {static_cast<uint8_t>(1u << below(8))};
            break;
        case FaultKind::GarbageBefore:
        case FaultKind::GarbageAfter:
            plan.bytes = noise(1, 6);
            break;
        case FaultKind::Burst:
            plan.bytes = noise(8, 40);
            break;
        case FaultKind::HangUpMidAnswer:
            plan.bytes = noise(1, 4);
            break;
        default:
            break;
    }
    return plan;
}

}  // namespace vx7r
