// What reaches the unit and the host and when: the host's bytes and the answer paced as on a
// 9600 baud line, and the faults laid
// over the answer the unit's checks decided (fixed ones from Faults, the attempt's seeded one from
// its FaultPlan).
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "fault_plan.h"
#include "unit_exchange.h"
#include "virtual_unit.h"

namespace vx7r {

using UnitClock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as SleepUntil

// One byte on a 9600 baud line: start bit, 8 data bits, stop bit.
inline constexpr UnitClock::duration kByteTime =
    std::chrono::nanoseconds(1'000'000'000LL * 10 / 9600);

// Sleeps until `at` (absolute, CLOCK_MONOTONIC), through signals.
void SleepUntil(UnitClock::time_point at);

// The host's bytes not yet taken as messages, each with the time it arrived; paced, a byte
// arrives one byte time after the one before it, however fast the pty delivered them.
class HostInput {
  public:
    explicit HostInput(bool pace) : pace_(pace) {}

    // Reads whatever the host has sent so far on the master `fd` (non-blocking).
    void ReadFrom(int fd);
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    UnitClock::time_point ArrivalOf(size_t index) const { return arrivals_[index]; }
    // When the last read brought bytes.
    UnitClock::time_point LastRead() const { return lastRead_; }
    void Consume(size_t count);
    void Clear() { Consume(bytes_.size()); }

  private:
    bool pace_;
    std::vector<uint8_t> bytes_;
    std::vector<UnitClock::time_point> arrivals_;
    UnitClock::time_point lastArrival_{};
    UnitClock::time_point lastRead_{};
};

// The verdict `answer` on message `phase` (data frame `frame`, 1-based) as the fixed faults turn
// it: another header or end answer, a frame error, a wrong echo, silence (empty), a doubled byte.
std::vector<uint8_t> FixedFaultAnswer(const Faults& faults, Phase phase, int frame, uint8_t answer);

enum class HangUp { None, Now, AfterRead };

// What a line fault did to one answer.
struct LineFault {
    HangUp hangUp = HangUp::None;
    bool ends = false;     // the attempt ends here
    bool givesUp = false;  // ... and the unit drops what it accepted: no data, no confirmation
    bool hit = false;      // the attempt's seeded fault reached this message
};

// Hang-ups and the attempt's seeded fault, laid over `answer`. Faults of the line (noise, a
// flipped bit, a doubled answer) leave the unit's verdict standing; the unit's own faults (a
// wrong answer, silence, a hang-up) give the attempt up.
LineFault ApplyLineFaults(const Faults& faults, const FaultPlan& plan, Phase phase, int frame,
                          std::vector<uint8_t>& answer);

}  // namespace vx7r
