#include "fake_line.h"

#include <cerrno>

#include "fake_unit.h"
#include "fuzz_clock.h"

namespace romlift::fuzz {

testing::VirtualClock& FuzzClock() {
    static testing::VirtualClock clock;
    return clock;
}

SerialLine::OpenError FakeLine::Open(const std::string& device) {
    Close();
    errno_ = 0;
    lineError_ = 0;
    if (!Unit().Open(device)) {
        errno_ = ENOENT;
        return OpenError::Open;
    }
    open_ = true;
    return OpenError::None;
}

void FakeLine::Close() {
    if (!open_) {
        return;
    }
    open_ = false;
    lineError_ = 0;
    Unit().Close();
}

bool FakeLine::Drain(const Deadline& deadline) {
    return Unit().Drain(deadline.Ns());
}

size_t FakeLine::WriteAll(const uint8_t* data, size_t n, const Deadline& deadline) {
    return Unit().Write(data, n, deadline.Ns());
}

ssize_t FakeLine::ReadAvailable(uint8_t* out, size_t n) {
    const long got = Unit().Read(out, n);
    if (got < 0) {
        lineError_ = EIO;
    }
    return got;
}

SerialLine::Wait FakeLine::WaitReadable(const Deadline& deadline) {
    switch (Unit().WaitReadable(deadline.Ns())) {
        case FakeUnit::Wake::Readable:
            return Wait::Readable;
        case FakeUnit::Wake::Hangup:
            lineError_ = EIO;
            return Wait::Hangup;
        case FakeUnit::Wake::Timeout:
            break;
    }
    return Wait::Timeout;
}

}  // namespace romlift::fuzz
