#include "tick.h"

#include <sys/prctl.h>

#include <cerrno>

namespace romlift {
namespace {

constexpr long kNsPerMs = 1'000'000;
constexpr long kNsPerS = 1'000'000'000;

timespec Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

bool NotBefore(const timespec& a, const timespec& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

}  // namespace

Tick GetTickCount() {
    const timespec t = Now();
    const uint64_t ms =
        static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec / kNsPerMs);
    return static_cast<Tick>(ms);
}

Deadline Deadline::AfterMs(uint32_t ms) {
    Deadline d;
    d.when_ = Now();
    return d.Plus(ms);
}

Deadline Deadline::Plus(uint32_t ms) const {
    Deadline d = *this;
    // One nanosecond past the mark: "more than ms", not "at least ms".
    long long ns =
        static_cast<long long>(d.when_.tv_nsec) + static_cast<long long>(ms % 1000) * kNsPerMs + 1;
    d.when_.tv_sec += static_cast<time_t>(ms / 1000 + ns / kNsPerS);
    d.when_.tv_nsec = static_cast<long>(ns % kNsPerS);
    return d;
}

bool Deadline::Passed() const {
    return NotBefore(Now(), when_);
}

int Deadline::RemainingMsForPoll() const {
    const timespec now = Now();
    if (NotBefore(now, when_)) {
        return 0;
    }
    const long long ns =
        static_cast<long long>(when_.tv_sec - now.tv_sec) * kNsPerS + (when_.tv_nsec - now.tv_nsec);
    return static_cast<int>((ns + kNsPerMs - 1) / kNsPerMs);
}

void SleepUntil(const Deadline& deadline) {
    // The default 50 us of timer slack would be paid on every pause before an answer.
    thread_local const bool tight = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)tight;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline.When(), nullptr) == EINTR) {
    }
}

}  // namespace romlift

namespace romlift::FirmwareHelper {

void Delay(uint32_t ms) {
    SleepUntil(Deadline::AfterMs(ms));
}

}  // namespace romlift::FirmwareHelper
