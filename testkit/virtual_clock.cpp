#include "virtual_clock.h"

#include <poll.h>

namespace romlift::testing {

void VirtualClock::SleepUntilNs(int64_t ns, int stopFd) const {
    pollfd p{stopFd, POLLIN, 0};
    if (stopFd >= 0 && ::poll(&p, 1, 0) == 1) {
        return;
    }
    AdvanceTo(ns);
}

void VirtualClock::AdvanceTo(int64_t ns) const {
    if (ns > now_) {
        now_ = ns;
    }
}

}  // namespace romlift::testing
