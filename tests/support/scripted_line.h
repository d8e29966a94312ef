// A unit behind the engine's SerialLine on a virtual clock, for the cases that check the engine's
// own waits to the nanosecond: each message the host writes gets the reply the test's script
// gives it (a byte after a delay, silence, a hang-up), and every wait moves the clock instead of
// sleeping. Cases over a real line use the virtual unit on a pseudo-terminal instead.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "serial_line.h"
#include "virtual_clock.h"

namespace romlift::testing {

class ScriptedLine final : public SerialLine {
  public:
    struct Reply {
        std::vector<uint8_t> bytes;  // empty: silence
        uint32_t afterMs = 0;        // after the write returned
        int64_t hangUpAfterMs = -1;  // the line goes this long after the write; -1 never
        uint32_t drainHoldMs = 0;    // earlier output takes this long to leave
        bool writeStalls = false;    // the line takes no byte of this message
    };
    // `index` counts the host's messages from 0; `message` is what it wrote. Called twice per
    // message: at the drain before it, with no message (only drainHoldMs counts there), then
    // with the message.
    using Script = std::function<Reply(int index, const std::vector<uint8_t>& message)>;
    // The reply of a unit that accepts everything: the echo of the wake-up and the checksum,
    // 0x01 for the header and each frame, 0xCC for the end frame.
    static Reply Accept(const std::vector<uint8_t>& message);

    ScriptedLine(const VirtualClock& clock, Script script)
        : clock_(clock), script_(std::move(script)) {}
    ~ScriptedLine() override { Close(); }
    ScriptedLine(const ScriptedLine&) = delete;
    ScriptedLine& operator=(const ScriptedLine&) = delete;

    OpenError Open(const std::string& device) override;
    void Close() override;
    bool IsOpen() const override { return open_; }
    int Errno() const override { return 0; }
    int LineError() const override { return lineError_; }
    bool Drain(const Deadline& deadline) override;
    size_t WriteAll(const uint8_t* data, size_t n, const Deadline& deadline) override;
    ssize_t ReadAvailable(uint8_t* out, size_t n) override;
    Wait WaitReadable(const Deadline& deadline) override;

    // When each write returned and when the line was last closed, on the virtual clock.
    const std::vector<int64_t>& WriteEndsNs() const { return writeEnds_; }
    int64_t ClosedAtNs() const { return closedAt_; }
    const std::vector<std::vector<uint8_t>>& Messages() const { return messages_; }
    // The host read or waited again and again without the clock moving: it spun on the line.
    bool Spun() const { return spun_; }

  private:
    struct Pending {
        uint8_t byte;
        int64_t atNs;
    };
    bool Gone() const { return goneAt_ >= 0 && clock_.NowNs() >= goneAt_; }
    void CountPoll();

    const VirtualClock& clock_;
    Script script_;
    bool open_ = false;
    int lineError_ = 0;
    int64_t goneAt_ = -1;
    int64_t closedAt_ = -1;
    int64_t lastPollNs_ = -1;
    int pollsAtOnce_ = 0;
    bool spun_ = false;
    std::deque<Pending> rx_;
    std::vector<int64_t> writeEnds_;
    std::vector<std::vector<uint8_t>> messages_;
};

}  // namespace romlift::testing
