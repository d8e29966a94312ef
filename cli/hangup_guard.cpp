#include "hangup_guard.h"

namespace romlift::cli {
namespace {

volatile sig_atomic_t g_hangups = 0;

extern "C" void NoteHangup(int) {
    g_hangups = 1;
}

}  // namespace

HangupGuard::HangupGuard() {
    g_hangups = 0;
    struct sigaction sa {};
    sa.sa_handler = NoteHangup;
    sigemptyset(&sa.sa_mask);
    // Restarted reads and writes; poll() and clock_nanosleep() report EINTR, which the serial
    // code already retries against its deadlines.
    sa.sa_flags = SA_RESTART;
    installed_ = ::sigaction(SIGHUP, &sa, &previous_) == 0;
}

HangupGuard::~HangupGuard() {
    if (installed_) {
        ::sigaction(SIGHUP, &previous_, nullptr);
    }
}

bool HangupGuard::Received() const {
    return g_hangups != 0;
}

}  // namespace romlift::cli
