// Ctrl-C and a test station's SIGTERM during a download: every port's attempt ends at once (its
// waits on the line wake through Fd()), every port is released, and each still reports.
#pragma once

#include <signal.h>

#include <atomic>

namespace romlift::cli {

class Interrupt {
  public:
    Interrupt();
    ~Interrupt();
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;

    // Ends the attempts; the first signal given is kept. Safe in a signal handler.
    void Request(int signal);
    bool Requested() const { return signal_.load() != 0; }
    int Signal() const { return signal_.load(); }
    // Readable once requested: the serial port's stop signal.
    int Fd() const { return fd_; }

  private:
    int fd_ = -1;
    std::atomic<int> signal_{0};
};

// While it lives, SIGINT and SIGTERM request `interrupt` instead of ending the process; the
// previous dispositions come back when it goes. One at a time, from the main thread.
class InterruptSignals {
  public:
    explicit InterruptSignals(Interrupt& interrupt);
    ~InterruptSignals();
    InterruptSignals(const InterruptSignals&) = delete;
    InterruptSignals& operator=(const InterruptSignals&) = delete;

  private:
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

}  // namespace romlift::cli
