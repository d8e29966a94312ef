// What the engine needs of a serial line: open and close it, write a message, wait for and take
// the unit's answer. serial_link.cpp is the only engine code that calls it.
//
// SerialPort (serial_port.h) is the line on a POSIX terminal device. A test or the transfer fuzz
// target hands the engine another one through DownloadState::line, with a virtual unit behind it.
// Deadlines are on the clock of the attempt (DownloadState::clock).
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "tick.h"

namespace romlift {

class SerialLine {
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

    virtual ~SerialLine() = default;
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // Opens `device` as a raw 9600-baud 8-bit line with both queues empty. On failure nothing is
    // left open.
    virtual OpenError Open(const std::string& device) = 0;
    // Closes the line; harmless when it is not open.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // errno of the step that failed in the last Open(), 0 when none.
    virtual int Errno() const = 0;
    // 0 while the line works; once a read, write or drain has failed for a reason other than
    // "no data yet" (or the line hung up), the errno of that failure, EIO for a hang-up. A pulled
    // USB adapter or a closed pty master shows up here. Cleared by Open() and Close().
    virtual int LineError() const = 0;
    // What became of low latency in the last successful Open(); Off while closed. A line that
    // keeps no such flag says Unsupported.
    virtual LowLatency LowLatencyMode() const {
        return IsOpen() ? LowLatency::Unsupported : LowLatency::Off;
    }
    // For Unsupported and Refused, the errno of the serial-flags call (0 when the driver took
    // the flag without keeping it).
    virtual int LowLatencyErrno() const { return 0; }

    // Waits until earlier output has left the driver, or the deadline. Unlike tcdrain() this is
    // bounded, so a line held by hardware flow control cannot hang the caller.
    virtual bool Drain(const Deadline& deadline) = 0;
    // Writes all `n` bytes unless the deadline passes or the device fails; returns how many went.
    virtual size_t WriteAll(const uint8_t* data, size_t n, const Deadline& deadline) = 0;
    // Takes up to `n` bytes that have arrived: a count, 0 when none, -1 when the device is gone.
    virtual ssize_t ReadAvailable(uint8_t* out, size_t n) = 0;
    // Sleeps until input arrives, the line hangs up (or fails), or the deadline passes. After a
    // hang-up, bytes that came before it may still be read.
    virtual Wait WaitReadable(const Deadline& deadline) = 0;

    // `fd` (not owned; -1 for none) turns readable when the front end wants the attempt over at
    // once (an interrupt): from then on waits on the line end early (Wait::Stopped, a failed
    // drain) and writes send nothing. Kept across Open() and Close().
    void SetStopSignal(int fd) { stopFd_ = fd; }
    int StopSignal() const { return stopFd_; }
    bool StopRequested() const {
        pollfd p{stopFd_, POLLIN, 0};
        return stopFd_ >= 0 && ::poll(&p, 1, 0) == 1;
    }

  protected:
    SerialLine() = default;

  private:
    int stopFd_ = -1;
};

}  // namespace romlift
