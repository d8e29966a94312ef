// A VX7R unit on a virtual line, for the transfer fuzz target. It stands behind FakeLine
// (fake_line.h), the engine's serial line, so the real serial_link.cpp and transfer.cpp run
// unchanged above it. The unit checks every message the host writes against the exchange it
// expects and answers each one as the fuzz input's script says: properly, late, with other bytes,
// not at all, with a hang-up; the script can also cut a write short, hold up the drain, refuse an
// open, or shrink the image file under the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "unit_exchange.h"

namespace romlift::fuzz {

// The unit's phases, as the virtual unit names them.
using Message = vx7r::Phase;

// One host message as the unit saw it.
struct SentMessage {
    Message kind;
    int frame = 0;                     // 1-based, frames only
    std::vector<uint8_t> bytes;        // what the host wrote (all of it, even if cut short)
    bool full = true;                  // every byte went out
    int64_t writeEndNs = 0;            // when the write call returned
    std::optional<uint8_t> answer;     // the byte the unit meant as its answer, if any
    int64_t answerAtNs = 0;            // when that byte reached the host's queue
    std::optional<uint8_t> firstRead;  // the first byte the host took after this message
    int polls = 0;                     // reads and waits the host made after it
};

struct UnitSetup {
    std::vector<uint8_t> image;       // the file's bytes when the attempt starts
    std::filesystem::path imagePath;  // where they are written
    uint32_t typeCode = 0;
    uint8_t openFailMask = 0;  // bit k: the (k+1)th open is refused
};

class FakeUnit {
  public:
    // Starts a fresh attempt. `script` drives the unit's answers and must outlive the run.
    void Reset(const UnitSetup& setup, FuzzInput* script);

    // FakeLine calls these.
    bool Open(const std::string& device);  // false: refused
    void Close();
    bool Drain(int64_t deadlineNs);
    size_t Write(const uint8_t* data, size_t n, int64_t deadlineNs);
    long Read(uint8_t* out, size_t n);  // count, 0 when none, -1 when the line is gone
    enum class Wake { Readable, Hangup, Timeout };
    Wake WaitReadable(int64_t deadlineNs);

    // Checks what must hold once the attempt is over (timing of the last answer).
    void Finish();

    const std::vector<SentMessage>& Messages() const { return messages_; }
    int Opens() const { return opens_; }
    int RefusedOpens() const { return refused_; }
    bool PortOpen() const { return open_; }
    int TotalFrames() const { return totalFrames_; }
    uint32_t HostImageSize() const { return static_cast<uint32_t>(setup_.image.size()); }
    // Bytes of the image file as it is now (the script may have cut or grown it).
    size_t FileSize() const { return file_.size(); }
    // Whether data frame `frame` (1-based) lies wholly inside the file as it is now.
    bool FrameInFile(int frame) const;
    size_t BytesWritten() const { return bytesWritten_; }
    // Whether the host had to take the answer it read after `m` as a yes. A checksum of 0 is
    // also echoed by silence: the host asks for any byte there, and a time-out reads as 0.
    static bool Accepted(const SentMessage& m);

  private:
    std::vector<uint8_t> Expected(Message kind, int frame) const;
    void CheckPrevious(int64_t now) const;
    void TakeOp();
    void Resize(size_t size);
    // When `b` reaches the host's queue, -1 when it never does.
    int64_t Queue(uint8_t b, int64_t at);

    UnitSetup setup_;
    FuzzInput* script_ = nullptr;
    std::vector<uint8_t> file_;
    int totalFrames_ = 0;

    int opens_ = 0;
    int refused_ = 0;
    int opensAfterWakeUp_ = 0;
    bool open_ = false;
    bool gone_ = false;
    int64_t hangupAtNs_ = -1;
    int64_t drainStartNs_ = -1;

    struct Pending {
        uint8_t byte;
        int64_t atNs;
    };
    std::deque<Pending> rx_;
    std::vector<SentMessage> messages_;
    std::optional<uint8_t> op_;  // the script's word for the message being written
    size_t bytesWritten_ = 0;
};

FakeUnit& Unit();

// The device name ComDevicePath gives the fake for COMn.
std::string FakeDevice(int portNumber);

// Timing rules of the exchange, in ms.
inline constexpr int64_t kPauseMs = 28;      // before each answer is read
inline constexpr int64_t kAnswerMs = 10000;  // the answer must start within this
inline constexpr int64_t kDrainMs = 5000;    // earlier output must leave within this
inline constexpr int64_t kWriteMs = 2000;    // a message must leave within this

}  // namespace romlift::fuzz
