// What the virtual unit saw, kept by its thread and read by any other: the attempts with their
// exchanges, the protocol violations, how many attempts have ended, and the unit's device.
#pragma once

#include <termios.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pacing_faults.h"
#include "virtual_unit.h"

namespace vx7r {

// The unit's verdict on one host message, with the faults laid over it.
struct Outcome {
    Exchange exchange;
    std::vector<std::string> problems;
    std::optional<termios> line;  // set for a wake-up: it begins an attempt
    std::vector<uint8_t> accepted;
    bool ends = false;
    bool confirmed = false;
    HangUp hangUp = HangUp::None;
    bool faultHit = false;
    std::string fault;  // for a wake-up: the attempt's random fault
};

// Thread-safe; every change wakes WaitForEnded().
class UnitRecord {
  public:
    // One answered message, all at once. A wake-up begins a new attempt (closing the open one
    // first when `closesPrevious`); an outcome that ends the attempt without a hang-up ends it
    // here (a hang-up ends it once the line is down: EndAttempt()).
    void Add(const Outcome& out, bool closesPrevious);
    // A message cut short: its bytes, the violation, and the end of the attempt.
    void CutShort(const Exchange& exchange, const std::string& problem);
    void AddViolation(const std::string& problem);
    void EndAttempt();

    Attempt Snapshot(size_t number) const;  // 1-based
    std::vector<Attempt> Attempts() const;
    std::vector<std::string> Violations() const;
    bool WaitForEnded(size_t count, int timeoutMs) const;

    void SetPath(const std::string& path);
    std::string Path() const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Attempt> attempts_;
    std::vector<std::string> violations_;
    size_t ended_ = 0;
    std::string path_;
};

}  // namespace vx7r
