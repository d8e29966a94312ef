// Ctrl-C, a test station's SIGTERM or a desktop session ending during a download: the attempt
// ends at once (its waits on the line wake through Fd(), the port's stop signal), the port is
// released, and the front end still reports and records how far the unit got.
#pragma once

#include <signal.h>

#include <atomic>
#include <string>

namespace romlift {

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
    // Readable once requested: hand it to SerialLine::SetStopSignal.
    int Fd() const { return fd_; }

  private:
    int fd_ = -1;
    std::atomic<int> signal_{0};
};

// While it lives, SIGINT and SIGTERM request `interrupt` instead of ending the process; the
// previous dispositions come back when it goes. One at a time, made and destroyed on one thread.
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

// What both programs say of a unit left by an interrupt: "interrupted at frame 68 of 400; the
// unit may need the download again" (frame 0: "before frame 1").
std::string InterruptedAt(int frame, int totalFrames);

}  // namespace romlift
