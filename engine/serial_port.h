// The serial device: a POSIX terminal opened exclusively, set to a raw 9600-baud 8-bit line.
// Nothing here writes status texts; serial_link turns results into them.
//
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "serial_line.h"

namespace romlift {

class SerialPort final : public SerialLine {
  public:
    SerialPort() = default;
    ~SerialPort() override { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens `device` (never creating it), takes it exclusively, sets 9600 baud, 8 data bits, raw
    // input and output, no software flow control, VMIN = VTIME = 0, then reads the settings back
    // and checks them, and empties both queues. Parity, stop bits and hardware flow control stay
    // as the device reports them. Then asks for low latency, which may fail without failing the
    // open (see LowLatencyMode()). On failure nothing is left open and the line's settings are
    // as they were found.
    OpenError Open(const std::string& device) override;
    // Puts back the line settings, the serial flags and the exclusive mode as Open() found them
    // (output still queued gets a moment to leave first, at most kRestoreWaitMs), then closes.
    // A refused open never touches the settings of the program that holds the line.
    void Close() override;
    static constexpr uint32_t kRestoreWaitMs = 100;
    bool IsOpen() const override { return fd_ >= 0; }
    int Errno() const override { return errno_; }
    LowLatency LowLatencyMode() const override { return lowLatency_; }
    int LowLatencyErrno() const override { return lowLatencyErrno_; }
    int LineError() const override { return lineError_; }

    // Deadlines on SystemClock(): the device's waits are real ones.
    bool Drain(const Deadline& deadline) override;
    size_t WriteAll(const uint8_t* data, size_t n, const Deadline& deadline) override;
    ssize_t ReadAvailable(uint8_t* out, size_t n) override;
    Wait WaitReadable(const Deadline& deadline) override;

  private:
    OpenError Fail(OpenError error, int err);
    void AskLowLatency();
    void RestoreLine();
    int fd_ = -1;
    int errno_ = 0;
    int lineError_ = 0;
    bool exclusive_ = false;  // this port set TIOCEXCL on the tty
    bool found_ = false;  // foundSettings_ holds the line's settings before this port changed them
    termios foundSettings_{};
    LowLatency lowLatency_ = LowLatency::Off;
    int lowLatencyErrno_ = 0;
};

}  // namespace romlift
