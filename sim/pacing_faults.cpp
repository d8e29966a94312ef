#include "pacing_faults.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace vx7r {

void SleepUntil(UnitClock::time_point at) {
    const auto due = at.time_since_epoch();
    timespec when{};
    when.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(due).count();
    when.tv_nsec = (due - std::chrono::seconds(when.tv_sec)).count();
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

void HostInput::ReadFrom(int fd) {
    uint8_t buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            const UnitClock::time_point now = UnitClock::now();
            lastRead_ = now;
            for (ssize_t i = 0; i < got; ++i) {
                lastArrival_ = std::max(now, lastArrival_) + kByteTime;
                bytes_.push_back(buffer[i]);
                arrivals_.push_back(pace_ ? lastArrival_ : now);
            }
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        // EAGAIN: drained. EIO cannot happen while the unit holds the slave; taken as drained.
        return;
    }
}

void HostInput::Consume(size_t count) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<long>(count));
    arrivals_.erase(arrivals_.begin(), arrivals_.begin() + static_cast<long>(count));
}

std::vector<uint8_t> FixedFaultAnswer(const Faults& f, Phase phase, int frame, uint8_t answer) {
    if (phase == Phase::Header && f.headerAnswer) {
        answer = *f.headerAnswer;
    } else if (phase == Phase::Frame && f.errorAtFrame == frame) {
        answer = f.errorAtFrameByte;
    } else if (phase == Phase::End && f.endAnswer) {
        answer = *f.endAnswer;
    }
    std::vector<uint8_t> bytes{answer};
    const bool unnumbered = phase != Phase::Frame;
    if (f.wrongEchoAt == phase && (phase == Phase::WakeUp || phase == Phase::Checksum)) {
        bytes = {f.wrongEchoByte};
    }
    if (f.silentAt == phase && (unnumbered || f.silentFrame == 0 || f.silentFrame == frame)) {
        return {};
    }
    if (f.doubleAt == phase && (unnumbered || frame == std::max(f.doubleFrame, 1))) {
        bytes.push_back(bytes[0]);
    }
    return bytes;
}

LineFault ApplyLineFaults(const Faults& f, const FaultPlan& plan, Phase phase, int frame,
                          std::vector<uint8_t>& answer) {
    LineFault out;
    auto giveUp = [&out] {
        out.ends = true;
        out.givesUp = true;
    };
    if (f.hangUpAt == phase && (phase != Phase::Frame || frame == std::max(f.hangUpFrame, 1))) {
        if (f.hangUpAfterAnswer) {
            out.hangUp = HangUp::AfterRead;
            out.ends = true;
        } else {
            answer.clear();
            out.hangUp = HangUp::Now;
            giveUp();
        }
        return out;
    }
    if (plan.kind == FaultKind::None || plan.phase != phase ||
        (phase == Phase::Frame && plan.frame != frame)) {
        return out;
    }
    out.hit = true;
    // Noise that happens to start with the good answer would be no fault at all.
    auto unlike = [&answer](std::vector<uint8_t> bytes) {
        if (!bytes.empty() && !answer.empty() && bytes[0] == answer[0]) {
            bytes[0] ^= 0x80;
        }
        return bytes;
    };
    switch (plan.kind) {
        case FaultKind::None:
            break;
        case FaultKind::WrongByte:
        case FaultKind::Burst:
            answer = unlike(plan.bytes);
            giveUp();
            break;
        case FaultKind::FlippedBit:
            if (!answer.empty()) {
                answer[0] ^= plan.bytes.at(0);
            }
            break;
        case FaultKind::GarbageBefore: {
            const std::vector<uint8_t> noise = unlike(plan.bytes);
            answer.insert(answer.begin(), noise.begin(), noise.end());
            break;
        }
        case FaultKind::GarbageAfter:
            answer.insert(answer.end(), plan.bytes.begin(), plan.bytes.end());
            break;
        case FaultKind::Doubled:
            if (!answer.empty()) {
                answer.push_back(answer[0]);
            }
            break;
        case FaultKind::Silent:
            answer.clear();
            giveUp();
            break;
        case FaultKind::HangUpBefore:
            answer.clear();
            out.hangUp = HangUp::Now;
            giveUp();
            break;
        case FaultKind::HangUpAfter:
            out.hangUp = HangUp::AfterRead;
            out.ends = true;
            break;
        case FaultKind::HangUpMidAnswer:
            answer = unlike(plan.bytes);
            out.hangUp = HangUp::AfterRead;
            giveUp();
            break;
    }
    return out;
}

}  // namespace vx7r
