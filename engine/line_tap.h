// An observer of every byte that crosses the line, for traces. Called on the downloading thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace romlift {

class SerialLine;

// Which message of the exchange the bytes belong to.
enum class LinePhase { WakeUp, Header, Checksum, Frame, End };
const char* LinePhaseName(LinePhase phase);  // "wake-up", "header", "checksum", "frame", "end"

class LineTap {
  public:
    virtual void Sent(LinePhase phase, const uint8_t* bytes, size_t n) = 0;
    virtual void Received(LinePhase phase, const uint8_t* bytes, size_t n) = 0;
    // The port has just opened (more than once an attempt: the wake-up has an open of its own);
    // `port` says what became of low latency on it.
    virtual void Opened(const SerialLine& port) { (void)port; }

  protected:
    ~LineTap() = default;
};

}  // namespace romlift
