// The figures every benchmark prints: CPU time, periods between events, percentiles.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace romlift::bench {

using Clock = std::chrono::steady_clock;

// User and system CPU seconds of RUSAGE_SELF (the process) or RUSAGE_THREAD (this thread).
inline double CpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// Milliseconds between consecutive events.
inline std::vector<double> PeriodsMs(const std::vector<Clock::time_point>& events) {
    std::vector<double> periods;
    for (size_t i = 1; i < events.size(); ++i) {
        periods.push_back(
            std::chrono::duration<double, std::milli>(events[i] - events[i - 1]).count());
    }
    return periods;
}

// The value below which `percent` of `v` lie (the median at 50); 0 for no values.
inline double Percentile(std::vector<double> v, int percent) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() * static_cast<size_t>(percent) / 100];
}

}  // namespace romlift::bench
