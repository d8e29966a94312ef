#include "fake_unit.h"

#include <unistd.h>

#include <algorithm>

#include "check.h"
#include "fuzz_clock.h"

namespace romlift::fuzz {
namespace {

using vx7r::kFrameData;
constexpr int64_t kSlackNs = 1'000'000;  // rounding of the "more than N ms" waits

const char* Name(Message m) {
    return vx7r::PhaseName(m);
}

uint8_t Acceptance(const SentMessage& m) {
    return vx7r::AcceptingAnswer(m.kind, m.bytes[0]);
}

}  // namespace

FakeUnit& Unit() {
    static FakeUnit unit;
    return unit;
}

std::string FakeDevice(int portNumber) {
    return "fake-line-COM" + std::to_string(portNumber);
}

void FakeUnit::Reset(const UnitSetup& setup, FuzzInput* script) {
    setup_ = setup;
    script_ = script;
    file_ = setup.image;
    const size_t size = setup.image.size();
    totalFrames_ = vx7r::FrameCount(size);
    opens_ = refused_ = opensAfterWakeUp_ = 0;
    open_ = gone_ = false;
    hangupAtNs_ = drainStartNs_ = -1;
    rx_.clear();
    messages_.clear();
    op_.reset();
    bytesWritten_ = 0;
}

bool FakeUnit::FrameInFile(int frame) const {
    const size_t off = static_cast<size_t>(frame - 1) * kFrameData;
    const size_t n = std::min(kFrameData, setup_.image.size() - std::min(off, setup_.image.size()));
    return off + n <= file_.size();
}

std::vector<uint8_t> FakeUnit::Expected(Message kind, int frame) const {
    const uint32_t code = setup_.typeCode;
    switch (kind) {
        case Message::WakeUp:
            return {vx7r::kWakeUp};
        case Message::Header: {
            const auto h = vx7r::ExpectedHeader(static_cast<uint16_t>(code));
            return {h.begin(), h.end()};
        }
        case Message::Checksum: {
            // The host sums the size it measured at the start; a file cut shorter since then
            // ends the sum with one 0xFF.
            uint8_t sum = 0;
            for (size_t i = 0; i < setup_.image.size(); ++i) {
                if (i >= file_.size()) {
                    sum ^= 0xFF;
                    break;
                }
                sum ^= file_[i];
            }
            return {sum};
        }
        case Message::Frame: {
            const size_t off = static_cast<size_t>(frame - 1) * kFrameData;
            const size_t n = std::min(kFrameData, setup_.image.size() - off);
            return vx7r::FrameMessage(off, file_.data() + off, n);
        }
        case Message::End:
            return {vx7r::kEndMark, vx7r::XorOf(file_.data(), setup_.image.size())};
    }
    return {};
}

bool FakeUnit::Accepted(const SentMessage& m) {
    if (m.kind == Message::Checksum && m.bytes[0] == 0 && !m.firstRead) {
        return true;
    }
    return m.firstRead.has_value() && *m.firstRead == Acceptance(m);
}

// Called whenever the host moves on from the last message (writes again, opens, returns): the
// last message's answer time must have been respected both ways.
void FakeUnit::CheckPrevious(int64_t now) const {
    if (messages_.empty()) {
        return;
    }
    const SentMessage& m = messages_.back();
    if (!m.full) {
        return;
    }
    const int64_t window = m.writeEndNs + (kPauseMs + kAnswerMs) * kNsPerMs;
    FUZZ_CHECK(now <= window + kSlackNs, "host waited %lld ns for the %s answer",
               static_cast<long long>(now - m.writeEndNs), Name(m.kind));
    if (!m.firstRead && m.answer && m.answerAtNs + kSlackNs < window &&
        (hangupAtNs_ < 0 || m.answerAtNs <= hangupAtNs_)) {
        FUZZ_CHECK(false, "the %s answer arrived after %lld ns but the host never read it",
                   Name(m.kind), static_cast<long long>(m.answerAtNs - m.writeEndNs));
    }
}

bool FakeUnit::Open(const std::string& device) {
    CheckPrevious(FuzzClock().NowNs());
    FUZZ_CHECK(device == FakeDevice(1), "opened %s, not COM1's device", device.c_str());
    ++opens_;
    if (!messages_.empty() && messages_.back().kind == Message::WakeUp) {
        ++opensAfterWakeUp_;
    }
    const bool refused = gone_ || (opens_ <= 8 && (setup_.openFailMask >> (opens_ - 1) & 1) != 0);
    if (refused) {
        ++refused_;
        return false;
    }
    open_ = true;
    // A fresh open starts with an empty receive queue.
    rx_.clear();
    return true;
}

void FakeUnit::Close() {
    open_ = false;
}

void FakeUnit::TakeOp() {
    if (!op_) {
        op_ = script_->Byte(0);
    }
}

int64_t FakeUnit::Queue(uint8_t b, int64_t at) {
    // Bytes leave the unit in order: a later byte never overtakes an earlier one.
    if (!rx_.empty() && rx_.back().atNs > at) {
        at = rx_.back().atNs;
    }
    // Nothing comes over a line after it hung up.
    if (gone_ && at > hangupAtNs_) {
        return -1;
    }
    rx_.push_back({b, at});
    return at;
}

void FakeUnit::Resize(size_t size) {
    file_.resize(size, 0);
    FUZZ_CHECK(::truncate(setup_.imagePath.c_str(), static_cast<off_t>(size)) == 0,
               "cannot resize the scratch image");
}

bool FakeUnit::Drain(int64_t deadlineNs) {
    FUZZ_CHECK(open_, "drain on a closed port");
    CheckPrevious(FuzzClock().NowNs());
    TakeOp();
    drainStartNs_ = FuzzClock().NowNs();
    if ((*op_ >> 5) == 6) {
        const int64_t until = drainStartNs_ + static_cast<int64_t>(*op_ & 0x1F) * 250 * kNsPerMs;
        if (until > deadlineNs) {
            FuzzClock().AdvanceTo(deadlineNs);
            return false;
        }
        FuzzClock().AdvanceTo(until);
    }
    return true;
}

size_t FakeUnit::Write(const uint8_t* data, size_t n, int64_t deadlineNs) {
    FUZZ_CHECK(open_, "write on a closed port");
    const int64_t now = FuzzClock().NowNs();
    if (drainStartNs_ < 0) {
        CheckPrevious(now);
        drainStartNs_ = now;
    }
    TakeOp();
    const uint8_t op = *op_;
    op_.reset();

    // Which message the host may send now: the one after the last accepted message.
    SentMessage m{};
    if (messages_.empty()) {
        m.kind = Message::WakeUp;
    } else {
        const SentMessage& prev = messages_.back();
        FUZZ_CHECK(prev.full, "host wrote again after a %s write failed", Name(prev.kind));
        FUZZ_CHECK(Accepted(prev), "host went on after the %s answer was %d, not %d",
                   Name(prev.kind), prev.firstRead ? *prev.firstRead : -1, Acceptance(prev));
        switch (prev.kind) {
            case Message::WakeUp:
                FUZZ_CHECK(opensAfterWakeUp_ == 1, "header without exactly one reopen (%d)",
                           opensAfterWakeUp_);
                m.kind = Message::Header;
                break;
            case Message::Header:
                m.kind = Message::Checksum;
                break;
            case Message::Checksum:
                m.kind = Message::Frame;
                m.frame = 1;
                break;
            case Message::Frame:
                m.kind = prev.frame < totalFrames_ ? Message::Frame : Message::End;
                m.frame = prev.frame + 1;
                break;
            case Message::End:
                FUZZ_CHECK(false, "host wrote after the end frame");
        }
    }
    if (m.kind == Message::Frame) {
        FUZZ_CHECK(FrameInFile(m.frame), "frame %d sent past the end of the image file", m.frame);
    }
    const std::vector<uint8_t> want = Expected(m.kind, m.frame);
    FUZZ_CHECK(n == want.size() && std::equal(want.begin(), want.end(), data),
               "%s message %d: %zu bytes, not the %zu expected or other bytes", Name(m.kind),
               m.frame, n, want.size());

    m.bytes = want;
    size_t sent = n;
    const int kind = op >> 5;
    if (gone_ && hangupAtNs_ <= now) {
        sent = 0;  // a hung-up line takes nothing
        m.full = false;
    } else if (kind == 4) {
        sent = static_cast<size_t>(op & 0x1F) % n;
        m.full = false;
        FuzzClock().AdvanceTo(deadlineNs);
    }
    FUZZ_CHECK(
        FuzzClock().NowNs() - drainStartNs_ <= (kDrainMs + kWriteMs) * kNsPerMs + 2 * kSlackNs,
        "drain and write took %lld ns",
        static_cast<long long>(FuzzClock().NowNs() - drainStartNs_));
    drainStartNs_ = -1;
    bytesWritten_ += sent;
    m.writeEndNs = FuzzClock().NowNs();
    const int64_t t = m.writeEndNs;

    if (m.full) {
        const uint8_t proper = Acceptance(m);
        std::string out;  // what the unit sends back, all at `at`
        int64_t at = t;
        switch (kind) {
            case 0:
                out.push_back(static_cast<char>(proper));
                at = t + static_cast<int64_t>(op & 0x1F) * kNsPerMs;
                break;
            case 1:
                out.push_back(static_cast<char>(proper));
                at = t + static_cast<int64_t>(script_->U16(0)) * kNsPerMs;
                break;
            case 2:
                at = t + static_cast<int64_t>((op >> 3) & 3) * 3000 * kNsPerMs;
                out = script_->Bytes(op & 7);
                break;
            case 3:
                if ((op & 0x10) != 0) {
                    // The image file changes under the host. Only before the frames are read:
                    // once read, the host holds them and a change shows nowhere.
                    const size_t size = script_->U16(0) % (setup_.image.size() + 101);
                    if (m.kind == Message::WakeUp || m.kind == Message::Header ||
                        m.kind == Message::Checksum) {
                        Resize(size);
                    }
                    out.push_back(static_cast<char>(proper));
                }
                break;  // otherwise silence
            case 5:
                if ((op & 1) != 0) {
                    out.push_back(static_cast<char>(proper));
                    at = t + kNsPerMs;
                }
                gone_ = true;
                hangupAtNs_ = t + static_cast<int64_t>((op >> 1) & 0xF) * 100 * kNsPerMs;
                break;
            case 6:
                out.push_back(static_cast<char>(proper));
                break;
            case 7:
                out.push_back(static_cast<char>(proper));
                out += script_->Bytes((op & 3) + 1);
                break;
            default:
                break;
        }
        for (size_t k = 0; k < out.size(); ++k) {
            const int64_t when = Queue(static_cast<uint8_t>(out[k]), at);
            if (k == 0 && when >= 0) {
                m.answer = static_cast<uint8_t>(out[0]);
                m.answerAtNs = when;
            }
        }
    }
    messages_.push_back(m);
    return sent;
}

long FakeUnit::Read(uint8_t* out, size_t n) {
    FUZZ_CHECK(open_, "read on a closed port");
    FUZZ_CHECK(!messages_.empty(), "host read before it sent anything");
    SentMessage& m = messages_.back();
    FUZZ_CHECK(m.full, "host read an answer to a %s message that did not go out", Name(m.kind));
    FUZZ_CHECK(n == 1, "read of %zu bytes: answer bytes beyond the first must stay queued", n);
    FUZZ_CHECK(++m.polls < 10000, "host polls without the clock moving");
    const int64_t now = FuzzClock().NowNs();
    FUZZ_CHECK(now > m.writeEndNs + kPauseMs * kNsPerMs, "read only %lld ns after the %s write",
               static_cast<long long>(now - m.writeEndNs), Name(m.kind));
    if (!rx_.empty() && rx_.front().atNs <= now) {
        out[0] = rx_.front().byte;
        rx_.pop_front();
        if (!m.firstRead) {
            m.firstRead = out[0];
        }
        return 1;
    }
    if (gone_ && hangupAtNs_ <= now) {
        return -1;
    }
    return 0;
}

FakeUnit::Wake FakeUnit::WaitReadable(int64_t deadlineNs) {
    FUZZ_CHECK(open_, "wait on a closed port");
    if (!messages_.empty()) {
        FUZZ_CHECK(++messages_.back().polls < 10000, "host polls without the clock moving");
    }
    const int64_t now = FuzzClock().NowNs();
    if (!rx_.empty() && rx_.front().atNs <= now) {
        return Wake::Readable;
    }
    if (gone_ && hangupAtNs_ <= now) {
        return Wake::Hangup;
    }
    int64_t next = -1;
    Wake what = Wake::Timeout;
    if (!rx_.empty()) {
        next = rx_.front().atNs;
        what = Wake::Readable;
    }
    if (gone_ && (next < 0 || hangupAtNs_ < next)) {
        next = hangupAtNs_;
        what = Wake::Hangup;
    }
    if (next >= 0 && next <= deadlineNs) {
        FuzzClock().AdvanceTo(next);
        return what;
    }
    FuzzClock().AdvanceTo(deadlineNs);
    return Wake::Timeout;
}

void FakeUnit::Finish() {
    CheckPrevious(FuzzClock().NowNs());
}

}  // namespace romlift::fuzz
