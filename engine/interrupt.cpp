#include "interrupt.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace romlift {
namespace {

std::atomic<Interrupt*> g_interrupt{nullptr};

extern "C" void RequestInterrupt(int signal) {
    if (Interrupt* interrupt = g_interrupt.load(); interrupt != nullptr) {
        interrupt->Request(signal);
    }
}

}  // namespace

Interrupt::Interrupt() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Interrupt::~Interrupt() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void Interrupt::Request(int signal) {
    int none = 0;
    signal_.compare_exchange_strong(none, signal);
    const uint64_t one = 1;
    // The counter stays above zero, so the descriptor stays readable for every later wait.
    (void)!::write(fd_, &one, sizeof one);
}

InterruptSignals::InterruptSignals(Interrupt& interrupt) {
    g_interrupt.store(&interrupt);
    struct sigaction sa {};
    sa.sa_handler = RequestInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, &previousInt_);
    ::sigaction(SIGTERM, &sa, &previousTerm_);
}

InterruptSignals::~InterruptSignals() {
    ::sigaction(SIGINT, &previousInt_, nullptr);
    ::sigaction(SIGTERM, &previousTerm_, nullptr);
    g_interrupt.store(nullptr);
}

std::string InterruptedAt(int frame, int totalFrames) {
    return (frame > 0 ? "interrupted at frame " + std::to_string(frame)
                      : std::string("interrupted before frame 1")) +
           " of " + std::to_string(totalFrames) + "; the unit may need the download again";
}

}  // namespace romlift
