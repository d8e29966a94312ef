#include "scripted_line.h"

#include <algorithm>
#include <cerrno>

namespace romlift::testing {

ScriptedLine::Reply ScriptedLine::Accept(const std::vector<uint8_t>& message) {
    if (message.size() == 1) {
        return Reply{{message[0]}};  // wake-up and checksum: the echo
    }
    if (message.size() == 2 && message[0] == 0xCC) {
        return Reply{{0xCC}};
    }
    return Reply{{0x01}};
}

SerialLine::OpenError ScriptedLine::Open(const std::string& /*device*/) {
    Close();
    // A reopen empties what the unit sent before, as the real port's open does.
    rx_.clear();
    lineError_ = 0;
    goneAt_ = -1;
    open_ = true;
    return OpenError::None;
}

void ScriptedLine::Close() {
    if (open_) {
        open_ = false;
        closedAt_ = clock_.NowNs();
    }
}

void ScriptedLine::CountPoll() {
    const int64_t now = clock_.NowNs();
    pollsAtOnce_ = now == lastPollNs_ ? pollsAtOnce_ + 1 : 0;
    lastPollNs_ = now;
    if (pollsAtOnce_ > 1000) {
        // Let the clock move, so a host that spins still ends and the case can say so.
        spun_ = true;
        clock_.AdvanceTo(now + kNsPerMs);
    }
}

bool ScriptedLine::Drain(const Deadline& deadline) {
    const Reply reply = script_(static_cast<int>(messages_.size()), {});
    if (reply.drainHoldMs == 0) {
        return true;
    }
    const int64_t until = clock_.NowNs() + int64_t{reply.drainHoldMs} * kNsPerMs;
    clock_.AdvanceTo(std::min(until, deadline.Ns()));
    return until <= deadline.Ns();
}

size_t ScriptedLine::WriteAll(const uint8_t* data, size_t n, const Deadline& deadline) {
    std::vector<uint8_t> message(data, data + n);
    // The script sees the message itself; a reply asked for at the drain only set its holds.
    Reply reply = script_(static_cast<int>(messages_.size()), message);
    messages_.push_back(message);
    if (Gone()) {
        lineError_ = EIO;
        return 0;
    }
    if (reply.writeStalls) {
        clock_.AdvanceTo(deadline.Ns());
        writeEnds_.push_back(clock_.NowNs());
        return 0;
    }
    const int64_t now = clock_.NowNs();
    writeEnds_.push_back(now);
    for (uint8_t b : reply.bytes) {
        rx_.push_back({b, now + int64_t{reply.afterMs} * kNsPerMs});
    }
    if (reply.hangUpAfterMs >= 0) {
        goneAt_ = now + reply.hangUpAfterMs * kNsPerMs;
    }
    return n;
}

ssize_t ScriptedLine::ReadAvailable(uint8_t* out, size_t n) {
    CountPoll();
    size_t got = 0;
    while (got < n && !rx_.empty() && rx_.front().atNs <= clock_.NowNs() &&
           (goneAt_ < 0 || rx_.front().atNs < goneAt_)) {
        out[got++] = rx_.front().byte;
        rx_.pop_front();
    }
    if (got == 0 && Gone()) {
        lineError_ = EIO;
        return -1;
    }
    return static_cast<ssize_t>(got);
}

SerialLine::Wait ScriptedLine::WaitReadable(const Deadline& deadline) {
    CountPoll();
    if (StopRequested()) {
        return Wait::Stopped;
    }
    int64_t next = deadline.Ns();
    Wait what = Wait::Timeout;
    if (!rx_.empty() && rx_.front().atNs <= next) {
        next = rx_.front().atNs;
        what = Wait::Readable;
    }
    if (goneAt_ >= 0 && goneAt_ <= next) {
        next = goneAt_;
        what = Wait::Hangup;
    }
    clock_.AdvanceTo(next);
    if (what == Wait::Hangup) {
        lineError_ = EIO;
    }
    return what;
}

}  // namespace romlift::testing
