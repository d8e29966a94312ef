// vx7r-sim: a virtual VX7R operator-panel unit on a pseudo-terminal.
//
// The unit owns the master side of a pty; a host opens the slave path given by DevicePath() exactly
// as it would open a serial device. The unit plays the unit's side of the download exchange as
// unit_exchange.h lays it out.
//
// Every host message gets exactly one answer byte unless a fault says otherwise.
//
// A hang-up (Faults::hangUpAt, or a random fault) closes the pty master, so the host's reads and
// writes on the slave fail with EIO as they would on a pulled USB adapter. The unit then comes
// back on a NEW pty (after UnitOptions::returnAfterMs). A host finds it again through
// UnitOptions::linkPath, a symbolic link the unit keeps pointing at its current slave (point
// ROMLIFT_COMn at the link), or through DevicePath().
#pragma once

#include <termios.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fault_plan.h"

namespace vx7r {

struct Faults {
    // Answer the header with this byte instead of the byte the check decides.
    std::optional<uint8_t> headerAnswer;
    // Answer the end frame with this byte instead of the byte the check decides.
    std::optional<uint8_t> endAnswer;
    // Stay silent (consume the message, send nothing) at this phase. For Phase::Frame,
    // silentFrame picks the frame (1-based; 0 means every frame).
    std::optional<Phase> silentAt;
    int silentFrame = 0;
    // Answer data frame N (1-based) with errorAtFrameByte (0xFF, the frame error) whatever its
    // checks say; another byte is an answer the host's exchange does not know.
    int errorAtFrame = 0;
    uint8_t errorAtFrameByte = 0xFF;
    // Answer the wake-up or the checksum with this byte instead of the echo.
    std::optional<Phase> wrongEchoAt;
    uint8_t wrongEchoByte = 0x55;
    // Answer the message of this phase twice (the same byte twice). For Phase::Frame,
    // doubleFrame picks the frame (1-based; 0 means frame 1).
    std::optional<Phase> doubleAt;
    int doubleFrame = 0;
    // Hang up the line at this phase instead of answering (with hangUpAfterAnswer: answer, wait
    // until the host has read the answer, then hang up). For Phase::Frame, hangUpFrame picks the
    // frame (1-based; 0 means frame 1).
    std::optional<Phase> hangUpAt;
    int hangUpFrame = 0;
    bool hangUpAfterAnswer = false;
    // One seeded fault per attempt, on top of the faults above; see fault_plan.h.
    RandomFaults random;
    // Apply the faults only to the first N attempts (0: to every attempt).
    int attempts = 0;
};

struct UnitOptions {
    // The unit type code this unit announces itself as; a header naming another code gets 0x51.
    uint16_t typeCode = 10;
    // Model the line at 9600 baud, 10 bits a byte: each host byte is taken as arriving 1/960 s
    // after the previous one, and each answer byte takes 1/960 s to reach the host.
    bool pace = false;
    Faults faults;
    // When not empty: a symbolic link kept pointing at the current slave, replaced atomically
    // when the unit comes back after a hang-up and removed by Stop(). Start() refuses a path
    // that exists and is not a symbolic link.
    std::string linkPath;
    // After a hang-up the unit is gone for this many milliseconds (the link removed, no device),
    // then comes back on a new pty; 0 comes back at once, before the old pty is closed, so the
    // link never dangles; -1 stays gone until Stop().
    int returnAfterMs = 0;
};

// One message as the unit received it, and what it answered (empty: no answer).
struct Exchange {
    Phase phase;
    int frame = 0;  // 1-based data frame number for Phase::Frame, else 0
    std::vector<uint8_t> received;
    std::vector<uint8_t> answered;
};

// What one attempt (from a wake-up byte to its end or to the next wake-up) looked like.
struct Attempt {
    std::vector<Exchange> exchanges;
    std::vector<uint8_t> image;   // data bytes of the accepted frames, in order
    bool confirmed = false;       // the unit answered 0xCC to the end frame
    std::optional<termios> line;  // the slave's settings when the wake-up byte arrived
    std::string fault;            // the random fault planned for this attempt (Describe()), or ""
    bool faultHit = false;        // the random fault reached its message
    bool hungUp = false;          // the unit hung up the line in this attempt
};

// Optional hooks for a front end. Both run on the unit's thread after the answer is on the wire;
// they must not call back into the unit.
struct Observer {
    // One line per exchange and per violation, as they happen.
    std::function<void(const std::string& line)> log;
    // An attempt has ended (number is 1-based); attempt is a snapshot of it.
    std::function<void(size_t number, const Attempt& attempt)> attemptEnded;
    // The unit's device changed: "" after a hang-up that leaves it gone, else the new slave.
    std::function<void(const std::string& path)> lineChanged;
};

class VirtualUnit {
  public:
    explicit VirtualUnit(UnitOptions options = {});
    ~VirtualUnit();  // Stop()s
    VirtualUnit(const VirtualUnit&) = delete;
    VirtualUnit& operator=(const VirtualUnit&) = delete;

    // Opens the pty pair and starts the unit's thread. False with *error set when the pty cannot
    // be made.
    bool Start(std::string* error = nullptr);
    // Installs the hooks; call before Start().
    void SetObserver(Observer observer);
    // Stops the thread and closes the master (a host still holding the slave then sees a
    // hang-up: POLLHUP, and reads of 0 bytes or EIO).
    // Safe to call twice.
    void Stop();
    // Stop() for a front end about to exit: stops answering, then hangs up only once the host
    // has closed the port or after timeoutMs. Closing the master at once would discard an answer
    // the host has not read yet. True when the host closed the port in time.
    bool StopWhenHostCloses(int timeoutMs);

    // Slave path for the host, e.g. /dev/pts/7, after Start(); a new one after each hang-up;
    // empty while the unit is gone.
    std::string DevicePath() const;

    // Thread-safe snapshots.
    std::vector<Attempt> Attempts() const;
    // Protocol violations seen so far, one human-readable line each: bytes sent before the unit
    // answered, malformed frames (bad length, offset, XOR), a header that is not well formed, an
    // end frame whose XOR disagrees, a message cut short.
    std::vector<std::string> Violations() const;
    // Blocks until `count` attempts have ended (confirmed, failed, or abandoned by silence), or
    // the timeout; true when they have. An attempt that hangs up ends once the unit is back on
    // its new pty (or gone, when returnAfterMs is not 0).
    bool WaitForAttempts(size_t count, int timeoutMs) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vx7r
