#include "serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace romlift {
namespace {

constexpr tcflag_t kInputOff = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                               IXOFF | IXANY | IUCLC | IMAXBEL;
constexpr tcflag_t kLocalOff = ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN;

void MakeRaw(termios& t) {
    t.c_iflag &= ~kInputOff;
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~kLocalOff;
    t.c_cflag &= ~CSIZE;
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
}

bool IsRawAsSet(const termios& t) {
    return (t.c_iflag & kInputOff) == 0 && (t.c_oflag & OPOST) == 0 &&
           (t.c_lflag & kLocalOff) == 0 && (t.c_cflag & CSIZE) == CS8 && (t.c_cflag & CREAD) != 0 &&
           (t.c_cflag & CLOCAL) != 0 && t.c_cc[VMIN] == 0 && t.c_cc[VTIME] == 0 &&
           cfgetispeed(&t) == B9600 && cfgetospeed(&t) == B9600;
}

}  // namespace

SerialPort::OpenError SerialPort::Fail(OpenError error, int err) {
    errno_ = err;
    Close();
    return error;
}

SerialPort::OpenError SerialPort::Open(const std::string& device) {
    Close();
    errno_ = 0;
    // O_NONBLOCK: a modem line without carrier would otherwise hold open() forever.
    fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        errno_ = errno;
        return OpenError::Open;
    }
    // A ttyS slot the 8250 driver registered without finding a UART opens, then refuses every
    // terminal call with EIO; a file or another device says ENOTTY.
    if (termios probe{}; ::tcgetattr(fd_, &probe) != 0) {
        const int err = errno;
        return Fail(err == EIO ? OpenError::NoUart : OpenError::NotTerminal, err);
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        return Fail(OpenError::Busy, errno);
    }
    // Keep out programs that do not take the flock; cleared again in Close() unless the line
    // was in exclusive mode already (root opens through it).
    if (int was = 0; ::ioctl(fd_, TIOCGEXCL, &was) != 0 || was == 0) {
        exclusive_ = ::ioctl(fd_, TIOCEXCL) == 0;
    }

    termios t{};
    if (::tcgetattr(fd_, &t) != 0) {
        return Fail(OpenError::Settings, errno);
    }
    foundSettings_ = t;
    found_ = true;
    MakeRaw(t);
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
        return Fail(OpenError::Settings, errno);
    }
    // tcsetattr succeeds if any one change took; read back to be sure all of them did.
    termios back{};
    if (::tcgetattr(fd_, &back) != 0) {
        return Fail(OpenError::Settings, errno);
    }
    if (!IsRawAsSet(back)) {
        return Fail(OpenError::Settings, EINVAL);
    }
    // A fresh open starts with empty queues: a pseudo-terminal keeps unread bytes across a close.
    if (::tcflush(fd_, TCIOFLUSH) != 0) {
        return Fail(OpenError::Settings, errno);
    }
    AskLowLatency();
    return OpenError::None;
}

void SerialPort::AskLowLatency() {
    lowLatencyErrno_ = 0;
    serial_struct s{};
    if (::ioctl(fd_, TIOCGSERIAL, &s) != 0) {
        lowLatencyErrno_ = errno;
        lowLatency_ = LowLatency::Unsupported;
        return;
    }
    if ((s.flags & ASYNC_LOW_LATENCY) != 0) {
        lowLatency_ = LowLatency::AlreadyOn;
        return;
    }
    // Everything else goes back as read: a user may change only the user flags, and only
    // while the rest stays as it is.
    s.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd_, TIOCSSERIAL, &s) != 0) {
        lowLatencyErrno_ = errno;
        lowLatency_ = LowLatency::Refused;
        return;
    }
    // Some drivers take the call and keep nothing; only a flag read back counts.
    serial_struct back{};
    if (::ioctl(fd_, TIOCGSERIAL, &back) != 0 || (back.flags & ASYNC_LOW_LATENCY) == 0) {
        lowLatency_ = LowLatency::Unsupported;
        return;
    }
    lowLatency_ = LowLatency::Set;
}

void SerialPort::RestoreLine() {
    if (lowLatency_ == LowLatency::Set) {
        // The flag lives on in the driver after the close: the next program would inherit it.
        if (serial_struct s{}; ::ioctl(fd_, TIOCGSERIAL, &s) == 0) {
            s.flags &= ~ASYNC_LOW_LATENCY;
            ::ioctl(fd_, TIOCSSERIAL, &s);
        }
    }
    lowLatency_ = LowLatency::Off;
    lowLatencyErrno_ = 0;
    if (!found_) {
        return;
    }
    found_ = false;
    // Bytes still queued would leave at the restored speed, garbled for the unit: give them the
    // moment they need at 9600 baud. A dead line or a stop request does not wait.
    if (lineError_ == 0) {
        Drain(Deadline::AfterMs(kRestoreWaitMs));
    }
    ::tcsetattr(fd_, TCSANOW, &foundSettings_);
}

void SerialPort::Close() {
    if (fd_ < 0) {
        lineError_ = 0;
        return;
    }
    RestoreLine();
    lineError_ = 0;
    // The exclusive mode lives on the tty, not on our descriptor: clear it, or the next open by a
    // non-root user fails while anything else still holds the device.
    // Only a port that set the mode clears it: a refused open must not unlock the holder's line.
    if (exclusive_) {
        ::ioctl(fd_, TIOCNXCL);
        exclusive_ = false;
    }
    ::close(fd_);  // releases the flock too
    fd_ = -1;
}

bool SerialPort::Drain(const Deadline& deadline) {
    for (;;) {
        int queued = 0;
        if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) {
            // A hung-up tty refuses every ioctl with EIO; any other refusal says nothing about
            // the line, and must not make a later silence look like a pulled adapter.
            if (errno == EIO) {
                lineError_ = EIO;
            }
            return false;
        }
        if (queued <= 0) {
            return true;
        }
        if (deadline.Passed() || StopRequested()) {
            return false;
        }
        // About one byte time per queued byte at 9600 baud, capped so the deadline is kept.
        FirmwareHelper::Delay(static_cast<uint32_t>(queued) < 20 ? static_cast<uint32_t>(queued)
                                                                 : 20);
    }
}

size_t SerialPort::WriteAll(const uint8_t* data, size_t n, const Deadline& deadline) {
    size_t done = 0;
    while (done < n && !StopRequested()) {
        const ssize_t put = ::write(fd_, data + done, n - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno != EAGAIN) {
            lineError_ = errno;  // EIO: the device has gone
            break;
        }
        const int ms = deadline.RemainingMsForPoll();
        if (ms == 0) {
            break;
        }
        pollfd p[2] = {{fd_, POLLOUT, 0}, {StopSignal(), POLLIN, 0}};
        const int r = ::poll(p, StopSignal() >= 0 ? 2 : 1, ms);
        if (r < 0 && errno != EINTR) {
            lineError_ = errno;
            break;
        }
        if (r > 0 && (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            lineError_ = EIO;
            break;
        }
    }
    return done;
}

ssize_t SerialPort::ReadAvailable(uint8_t* out, size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd_, out, n);
        if (got >= 0) {
            return got;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN) {
            return 0;
        }
        lineError_ = errno;
        return -1;
    }
}

SerialPort::Wait SerialPort::WaitReadable(const Deadline& deadline) {
    for (;;) {
        const int ms = deadline.RemainingMsForPoll();
        if (ms == 0) {
            return Wait::Timeout;
        }
        pollfd p[2] = {{fd_, POLLIN, 0}, {StopSignal(), POLLIN, 0}};
        const int r = ::poll(p, StopSignal() >= 0 ? 2 : 1, ms);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            lineError_ = errno;
            return Wait::Hangup;
        }
        if (r == 0) {
            continue;  // poll rounds to whole ms; the deadline decides
        }
        if (p[1].revents != 0) {
            return Wait::Stopped;
        }
        // A hung-up tty polls readable and reads 0 forever: report the hang-up first.
        if ((p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            lineError_ = EIO;
            return Wait::Hangup;
        }
        return Wait::Readable;
    }
}

}  // namespace romlift
