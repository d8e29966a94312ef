#include "tick.h"

#include <poll.h>
#include <sys/prctl.h>

#include <cerrno>

namespace romlift {
namespace {

constexpr int64_t kNsPerS = 1'000'000'000;

class MonotonicClock final : public Clock {
  public:
    int64_t NowNs() const override {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<int64_t>(t.tv_sec) * kNsPerS + t.tv_nsec;
    }

    void SleepUntilNs(int64_t ns, int stopFd) const override {
        if (stopFd >= 0) {
            // poll() counts whole milliseconds: wake on the stop signal, sleep the rest exactly.
            pollfd p{stopFd, POLLIN, 0};
            for (int64_t left = ns - NowNs(); left > kNsPerMs; left = ns - NowNs()) {
                if (::poll(&p, 1, static_cast<int>(left / kNsPerMs)) == 1) {
                    return;
                }
            }
        }
        // The default 50 us of timer slack would be paid on every pause before an answer.
        thread_local const bool tight = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
        (void)tight;
        const timespec when{static_cast<time_t>(ns / kNsPerS), static_cast<long>(ns % kNsPerS)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
        }
    }
};

}  // namespace

const Clock& SystemClock() {
    static const MonotonicClock clock;
    return clock;
}

Tick GetTickCount() {
    return static_cast<Tick>(static_cast<uint64_t>(SystemClock().NowNs() / kNsPerMs));
}

}  // namespace romlift

namespace romlift::FirmwareHelper {

void Delay(uint32_t ms) {
    SleepUntil(Deadline::AfterMs(ms));
}

}  // namespace romlift::FirmwareHelper
