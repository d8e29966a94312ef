// Keeps a closing terminal from cutting a download off mid-frame: a panel left with half its
// firmware may not start again. While a guard lives, SIGHUP is only recorded; the previous
// disposition comes back when it goes. One guard at a time, from the main thread.
#pragma once

#include <signal.h>

namespace romlift::cli {

class HangupGuard {
  public:
    HangupGuard();
    ~HangupGuard();
    HangupGuard(const HangupGuard&) = delete;
    HangupGuard& operator=(const HangupGuard&) = delete;

    // True when a SIGHUP arrived while the guard lived.
    bool Received() const;

  private:
    struct sigaction previous_ {};
    bool installed_ = false;
};

}  // namespace romlift::cli
