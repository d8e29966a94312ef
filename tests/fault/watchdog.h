// Ends the test process when an attempt has not returned in time, so a hang fails the test run
// instead of holding it until ctest's own time-out (which names no culprit).
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace romlift::testing {

class Watchdog {
  public:
    // After `limitMs` milliseconds without Disarm(), prints `what` and exits the process with
    // status 3.
    Watchdog(int limitMs, std::string what)
        : what_(std::move(what)), thread_([this, limitMs] { Watch(limitMs); }) {}
    ~Watchdog() { Disarm(); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void Disarm() {
        {
            std::lock_guard lock(mutex_);
            disarmed_ = true;
        }
        woken_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    void Watch(int limitMs) {
        std::unique_lock lock(mutex_);
        if (!woken_.wait_for(lock, std::chrono::milliseconds(limitMs),
                             [this] { return disarmed_; })) {
            fprintf(stderr, "HANG: no return within %d ms: %s\n", limitMs, what_.c_str());
            fflush(stderr);
            _exit(3);
        }
    }

    std::string what_;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool disarmed_ = false;
    std::thread thread_;
};

}  // namespace romlift::testing
