// --trace: every byte on the line with a millisecond timestamp, the port and the phase.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "line_tap.h"
#include "serial_port.h"

namespace romlift::cli {

// One file shared by every port; lines are written whole under a lock.
class TraceFile {
  public:
    // Opens (creates or truncates) `path`; false with *error set when it cannot.
    bool Open(const std::string& path, std::string* error);
    ~TraceFile();
    // Flushes and closes; false with *error set when any line could not be written (a full
    // disk, /dev/full), so the caller can say the trace is incomplete.
    bool Close(std::string* error);
    void Write(const std::string& port, const char* direction, LinePhase phase, const uint8_t* b,
               size_t n);
    // A remark about the port, as a comment line: "# ms port text".
    void Note(const std::string& port, const std::string& text);

  private:
    double Ms() const;
    void Put(const std::string& line);  // whole, under the lock
    std::mutex mu_;
    std::FILE* f_ = nullptr;
    std::string path_;
    int writeErrno_ = 0;  // the first write failure, 0 while every line went out
    std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
};

// "low latency on ...", "low latency not available: ...": one line for a trace or a note.
std::string LowLatencyText(SerialPort::LowLatency mode, int err);

class PortTrace final : public LineTap {
  public:
    PortTrace(TraceFile& file, std::string port) : file_(file), port_(std::move(port)) {}
    void Sent(LinePhase phase, const uint8_t* b, size_t n) override {
        file_.Write(port_, "sent", phase, b, n);
    }
    void Received(LinePhase phase, const uint8_t* b, size_t n) override {
        file_.Write(port_, "recv", phase, b, n);
    }
    // Says once an attempt whether the line ran in low latency, and why not.
    void Opened(const SerialLine& port) override;

  private:
    TraceFile& file_;
    std::string port_;
    bool latencySaid_ = false;
};

}  // namespace romlift::cli
