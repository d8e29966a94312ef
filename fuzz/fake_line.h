// The engine's serial line on the fake unit (fake_unit.h): serial_link.cpp and transfer.cpp run
// unchanged above it, on the fuzz clock.
#pragma once

#include "serial_line.h"

namespace romlift::fuzz {

class FakeLine final : public SerialLine {
  public:
    FakeLine() = default;
    ~FakeLine() override { Close(); }
    FakeLine(const FakeLine&) = delete;
    FakeLine& operator=(const FakeLine&) = delete;

    OpenError Open(const std::string& device) override;
    void Close() override;
    bool IsOpen() const override { return open_; }
    int Errno() const override { return errno_; }
    int LineError() const override { return lineError_; }
    bool Drain(const Deadline& deadline) override;
    size_t WriteAll(const uint8_t* data, size_t n, const Deadline& deadline) override;
    ssize_t ReadAvailable(uint8_t* out, size_t n) override;
    Wait WaitReadable(const Deadline& deadline) override;

  private:
    bool open_ = false;
    int errno_ = 0;
    int lineError_ = 0;
};

}  // namespace romlift::fuzz
