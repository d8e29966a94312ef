// SerialPort on the fake unit's virtual line, in place of serial_port.cpp. Only the port layer
// is replaced: serial_link.cpp above it is the real one.
#include <cerrno>

#include "fake_unit.h"
#include "serial_port.h"
#include "virtual_clock.h"

namespace romlift {
namespace {

constexpr int kFakeFd = 1000;  // any value >= 0 reads as open

int64_t Ns(const Deadline& d) {
    return static_cast<int64_t>(d.When().tv_sec) * 1'000'000'000 + d.When().tv_nsec;
}

}  // namespace

SerialPort::OpenError SerialPort::Open(const std::string& device) {
    Close();
    errno_ = 0;
    lineError_ = 0;
    if (!fuzz::Unit().Open(device)) {
        errno_ = ENOENT;
        return OpenError::Open;
    }
    fd_ = kFakeFd;
    return OpenError::None;
}

void SerialPort::Close() {
    if (fd_ < 0) {
        return;
    }
    fd_ = -1;
    lineError_ = 0;
    fuzz::Unit().Close();
}

bool SerialPort::Drain(const Deadline& deadline) {
    return fuzz::Unit().Drain(Ns(deadline));
}

size_t SerialPort::WriteAll(const uint8_t* data, size_t n, const Deadline& deadline) {
    return fuzz::Unit().Write(data, n, Ns(deadline));
}

ssize_t SerialPort::ReadAvailable(uint8_t* out, size_t n) {
    const long got = fuzz::Unit().Read(out, n);
    if (got < 0) {
        lineError_ = EIO;
    }
    return got;
}

SerialPort::Wait SerialPort::WaitReadable(const Deadline& deadline) {
    switch (fuzz::Unit().WaitReadable(Ns(deadline))) {
        case fuzz::FakeUnit::Wake::Readable:
            return Wait::Readable;
        case fuzz::FakeUnit::Wake::Hangup:
            lineError_ = EIO;
            return Wait::Hangup;
        case fuzz::FakeUnit::Wake::Timeout:
            break;
    }
    return Wait::Timeout;
}

}  // namespace romlift
