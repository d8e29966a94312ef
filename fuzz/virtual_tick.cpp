// tick.h on the virtual clock: the same "more than N ms" rules as the real one, but waiting only
// moves the clock.
#include "tick.h"
#include "virtual_clock.h"

namespace romlift::fuzz {
namespace {
int64_t g_now = 0;
}

int64_t VirtualNowNs() {
    return g_now;
}
void AdvanceVirtualClockTo(int64_t ns) {
    if (ns > g_now) {
        g_now = ns;
    }
}
void ResetVirtualClock(int64_t ns) {
    g_now = ns;
}

}  // namespace romlift::fuzz

namespace romlift {
namespace {

constexpr int64_t kNsPerS = 1'000'000'000;

int64_t ToNs(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * kNsPerS + t.tv_nsec;
}

timespec FromNs(int64_t ns) {
    return timespec{static_cast<time_t>(ns / kNsPerS), static_cast<long>(ns % kNsPerS)};
}

}  // namespace

Tick GetTickCount() {
    return static_cast<Tick>(fuzz::VirtualNowNs() / fuzz::kNsPerMs);
}

Deadline Deadline::AfterMs(uint32_t ms) {
    Deadline d;
    d.when_ = FromNs(fuzz::VirtualNowNs());
    return d.Plus(ms);
}

Deadline Deadline::Plus(uint32_t ms) const {
    Deadline d = *this;
    d.when_ = FromNs(ToNs(when_) + static_cast<int64_t>(ms) * fuzz::kNsPerMs + 1);
    return d;
}

bool Deadline::Passed() const {
    return fuzz::VirtualNowNs() >= ToNs(when_);
}

int Deadline::RemainingMsForPoll() const {
    const int64_t left = ToNs(when_) - fuzz::VirtualNowNs();
    return left <= 0 ? 0 : static_cast<int>((left + fuzz::kNsPerMs - 1) / fuzz::kNsPerMs);
}

void SleepUntil(const Deadline& deadline) {
    fuzz::AdvanceVirtualClockTo(ToNs(deadline.When()));
}

}  // namespace romlift

namespace romlift::FirmwareHelper {

void Delay(uint32_t ms) {
    SleepUntil(Deadline::AfterMs(ms));
}

}  // namespace romlift::FirmwareHelper
