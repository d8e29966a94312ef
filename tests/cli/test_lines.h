// Pseudo-terminals and port holders for the romlift-cli and end-to-end tests: a line nobody
// answers on, and another process holding a port the way romlift-cli itself would.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "serial_port.h"

namespace romlift::testing {

// A pseudo-terminal with nobody answering on it: a port that opens, or a terminal whose typed
// answers the test writes to Master().
class BarePty {
  public:
    BarePty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
            slave_ = ::ptsname(master_);
        }
    }
    ~BarePty() {
        if (master_ >= 0) {
            ::close(master_);
        }
    }
    BarePty(const BarePty&) = delete;
    BarePty& operator=(const BarePty&) = delete;
    // The slave's path; empty when no pseudo-terminal could be had.
    const std::string& Path() const { return slave_; }
    int Master() const { return master_; }

  private:
    int master_ = -1;
    std::string slave_;
};

// A child process that holds the port the way romlift-cli itself would, until destroyed.
class HoldingChild {
  public:
    explicit HoldingChild(const std::string& device) {
        int ready[2];
        if (::pipe(ready) != 0) {
            return;
        }
        if (::pipe(release_) != 0) {
            ::close(ready[0]);
            ::close(ready[1]);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            SerialPort holder;
            const char ok = holder.Open(device) == SerialPort::OpenError::None ? 'y' : 'n';
            (void)!::write(ready[1], &ok, 1);
            char c;
            (void)!::read(release_[0], &c, 1);
            _exit(0);
        }
        ::close(ready[1]);
        char ok = 0;
        held_ = pid_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 'y';
        ::close(ready[0]);
    }
    ~HoldingChild() {
        if (pid_ > 0) {
            (void)!::write(release_[1], "x", 1);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        ::close(release_[0]);
        ::close(release_[1]);
    }
    HoldingChild(const HoldingChild&) = delete;
    HoldingChild& operator=(const HoldingChild&) = delete;
    bool Held() const { return held_; }
    pid_t Pid() const { return pid_; }

  private:
    int release_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool held_ = false;
};

}  // namespace romlift::testing
