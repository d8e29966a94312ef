// The unit's side of the download exchange, without I/O: what each phase expects, how long each
// message is, and the unit's verdict on each message. The virtual unit (virtual_unit.cpp) and the
// transfer fuzz target's fake unit both check the host against this one model; it shares nothing
// with the host's code under test.
//
//   wake-up   host 0x99                       unit 0x99 (echo)
//   header    host 20 bytes                   unit 0x01 accepted, 0x00 invalid, 0x51 wrong model
//   checksum  host 1 byte (XOR of the image)  unit the same byte (echo)
//   frame     host n+4 bytes:                 unit 0x01 accepted, 0xFF frame not received right
//             [n, offset lo, offset hi, n data bytes, XOR of the data]
//   end       host [0xCC, XOR of all data]    unit 0xCC success, 0xFF checksum mismatch
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vx7r {

// The exchange phase a host message belongs to, as the unit sees it.
enum class Phase { WakeUp, Header, Checksum, Frame, End };

const char* PhaseName(Phase phase);

inline constexpr uint8_t kWakeUp = 0x99;
inline constexpr uint8_t kEndMark = 0xCC;
inline constexpr uint8_t kAccepted = 0x01;
inline constexpr uint8_t kMalformed = 0x00;
inline constexpr uint8_t kWrongModel = 0x51;
inline constexpr uint8_t kFrameError = 0xFF;
inline constexpr size_t kHeaderSize = 20;
inline constexpr size_t kFrameData = 50;  // data bytes in every frame but the last

// "0x5A": how the unit's log and violations show a byte.
std::string Hex(uint8_t byte);

// The header a host must send for unit type `code`; bytes 7 and 12 depend on the code.
std::array<uint8_t, kHeaderSize> ExpectedHeader(uint16_t code);

uint8_t XorOf(const uint8_t* data, size_t size);

// Data frames in a download of `imageSize` bytes; an empty image still goes as one empty frame.
int FrameCount(size_t imageSize);

// The frame carrying `size` bytes of `data` found at `offset` of the image.
std::vector<uint8_t> FrameMessage(size_t offset, const uint8_t* data, size_t size);

// The answer that accepts a message of `phase` whose first byte is `first` (the checksum's
// accepting answer is its echo).
uint8_t AcceptingAnswer(Phase phase, uint8_t first);

// The unit's checks over one attempt after another. Each message is judged (Judge), answered by
// the caller (who may lay faults over the answer), then settled with the bytes actually answered
// (Settle), which moves the unit to the phase it expects next.
class UnitExchange {
  public:
    explicit UnitExchange(uint16_t typeCode) : typeCode_(typeCode) {}

    // Length of the message at the front of `pending` and its phase; 0 while not yet known
    // (nothing pending, or not a wake-up between attempts).
    size_t MessageLength(const std::vector<uint8_t>& pending, Phase* phase) const;

    struct Verdict {
        uint8_t answer = 0;                 // what the checks decide
        std::vector<std::string> problems;  // protocol violations, "attempt N: ..." each
    };
    // A wake-up begins a new attempt. `message` is whole (MessageLength bytes).
    Verdict Judge(Phase phase, const std::vector<uint8_t>& message);

    struct Settled {
        bool ends = false;              // the attempt is over (given up, refused or confirmed)
        bool confirmed = false;         // the end frame was answered with 0xCC
        std::vector<uint8_t> accepted;  // the data of an accepted frame
    };
    // `answered` is what goes to the host (empty: silence); only its first byte counts.
    Settled Settle(Phase phase, const std::vector<uint8_t>& message,
                   const std::vector<uint8_t>& answered);

    // After the answer went out: the attempt ends (the unit waits for a wake-up) or goes on.
    void Advance(Phase phase, bool ends);
    // The attempt is dropped (cut short, hung up); the unit waits for a wake-up.
    void Abandon() { expect_ = Expect::WakeUp; }

    bool BetweenAttempts() const { return expect_ == Expect::WakeUp; }
    int AttemptNumber() const { return attempt_; }
    int FramesSeen() const { return frame_; }  // data frames judged in this attempt
    std::string Where() const { return "attempt " + std::to_string(attempt_); }

  private:
    enum class Expect { WakeUp, Header, Checksum, Frames };

    uint16_t typeCode_;
    Expect expect_ = Expect::WakeUp;
    int attempt_ = 0;
    uint8_t checksum_ = 0;
    uint8_t dataXor_ = 0;
    size_t received_ = 0;
    int frame_ = 0;
    int lastFrameSize_ = -1;
};

}  // namespace vx7r
