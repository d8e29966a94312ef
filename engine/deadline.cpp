#include "tick.h"

namespace romlift {

namespace {
constexpr int64_t kNsPerS = 1'000'000'000;
}

Deadline Deadline::AfterMs(const Clock& clock, uint32_t ms) {
    // A deadline keeps a pointer to its clock, which outlives it (tick.h says so).
    // cppcheck-suppress returnDanglingLifetime
    return Deadline(clock, clock.NowNs()).Plus(ms);
}

Deadline Deadline::Plus(uint32_t ms) const {
    // One nanosecond past the mark: "more than ms", not "at least ms".
    return Deadline(*clock_, ns_ + static_cast<int64_t>(ms) * kNsPerMs + 1);
}

int Deadline::RemainingMsForPoll() const {
    const int64_t left = ns_ - clock_->NowNs();
    return left <= 0 ? 0 : static_cast<int>((left + kNsPerMs - 1) / kNsPerMs);
}

timespec Deadline::When() const {
    return timespec{static_cast<time_t>(ns_ / kNsPerS), static_cast<long>(ns_ % kNsPerS)};
}

void SleepUntil(const Deadline& deadline) {
    deadline.On().SleepUntilNs(deadline.Ns(), -1);
}

}  // namespace romlift
