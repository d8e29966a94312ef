// The serial device: a POSIX terminal opened exclusively, set to a raw 9600-baud 8-bit line.
// Nothing here writes status texts; serial_link turns results into them.
//
// Implementations (one is linked beside romlift_engine_core): serial_port.cpp in
// romlift_engine_posix, the terminal device; fuzz/fake_serial_port.cpp in romlift_engine_fake, a
// scripted unit on a virtual line, for the transfer fuzz target.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "tick.h"

namespace romlift {

class SerialPort {
  public:
    enum class OpenError {
        None,
        Open,         // open() failed: see Errno() (ENOENT, EACCES, EBUSY under TIOCEXCL, ...)
        NotTerminal,  // the path is not a terminal device
        NoUart,       // a ttyS node with no UART behind it: the first tcgetattr fails with EIO
        Busy,         // another program holds the port (flock)
        Settings,     // the line settings could not be read, written, or did not stick
    };
    enum class Wait { Readable, Hangup, Timeout, Stopped };
    // Low latency (ASYNC_LOW_LATENCY through TIOCSSERIAL) while the port is open: an FTDI adapter
    // then hands each answer on within 1 ms instead of holding it up to its latency timer
    // (16 ms by default), once per frame.
    enum class LowLatency {
        Off,          // not open
        Set,          // this port turned it on; Close() turns it off again
        AlreadyOn,    // it was on when the port was found; left so
        Unsupported,  // the driver keeps no such flag (a pty, most non-FTDI adapters)
        Refused,      // the driver would not take it: see LowLatencyErrno()
    };

    SerialPort() = default;
    ~SerialPort() { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens `device` (never creating it), takes it exclusively, sets 9600 baud, 8 data bits, raw
    // input and output, no software flow control, VMIN = VTIME = 0, then reads the settings back
    // and checks them, and empties both queues. Parity, stop bits and hardware flow control stay
    // as the device reports them. Then asks for low latency, which may fail without failing the
    // open (see LowLatencyMode()). On failure nothing is left open and the line's settings are
    // as they were found.
    OpenError Open(const std::string& device);
    // Puts back the line settings, the serial flags and the exclusive mode as Open() found them
    // (output still queued gets a moment to leave first, at most kRestoreWaitMs), then closes.
    // A refused open never touches the settings of the program that holds the line.
    void Close();
    static constexpr uint32_t kRestoreWaitMs = 100;
    bool IsOpen() const { return fd_ >= 0; }
    // errno of the step that failed in the last Open(), 0 when none.
    int Errno() const { return errno_; }
    // What became of low latency in the last successful Open(); Off while closed.
    LowLatency LowLatencyMode() const { return lowLatency_; }
    // For Unsupported and Refused, the errno of the serial-flags call (0 when the driver took
    // the flag without keeping it).
    int LowLatencyErrno() const { return lowLatencyErrno_; }
    // 0 while the line works; once a read, write or drain has failed for a reason other than
    // "no data yet" (or poll reported a hang-up), the errno of that failure, EIO for a hang-up.
    // A pulled USB adapter or a closed pty master shows up here. Cleared by Open() and Close().
    int LineError() const { return lineError_; }

    // `fd` (not owned; -1 for none) turns readable when the front end wants the attempt over at
    // once (an interrupt): from then on waits on the line end early (Wait::Stopped, a failed
    // drain) and writes send nothing. Kept across Open() and Close().
    void SetStopSignal(int fd) { stopFd_ = fd; }
    int StopSignal() const { return stopFd_; }
    bool StopRequested() const {
        pollfd p{stopFd_, POLLIN, 0};
        return stopFd_ >= 0 && ::poll(&p, 1, 0) == 1;
    }

    // Waits until earlier output has left the driver, or the deadline. Unlike tcdrain() this is
    // bounded, so a line held by hardware flow control cannot hang the caller.
    bool Drain(const Deadline& deadline);
    // Writes all `n` bytes unless the deadline passes or the device fails; returns how many went.
    size_t WriteAll(const uint8_t* data, size_t n, const Deadline& deadline);
    // Takes up to `n` bytes that have arrived: a count, 0 when none, -1 when the device is gone.
    ssize_t ReadAvailable(uint8_t* out, size_t n);
    // Sleeps until input arrives, the line hangs up (or fails), or the deadline passes. After a
    // hang-up, bytes that came before it may still be read.
    Wait WaitReadable(const Deadline& deadline);

  private:
    OpenError Fail(OpenError error, int err);
    void AskLowLatency();
    void RestoreLine();
    int fd_ = -1;
    int errno_ = 0;
    int lineError_ = 0;
    bool exclusive_ = false;  // this port set TIOCEXCL on the tty
    int stopFd_ = -1;
    bool found_ = false;  // foundSettings_ holds the line's settings before this port changed them
    termios foundSettings_{};
    LowLatency lowLatency_ = LowLatency::Off;
    int lowLatencyErrno_ = 0;
};

}  // namespace romlift
