// How a download attempt ended, as data: the front ends explain it (hints, the advice line) and the
// record keeps where it stopped from this, never from the status text, which stays the unit's
// own words for people.
#pragma once

#include <cstdint>
#include <string>

#include "port_fault.h"

namespace romlift {

enum class AttemptResult { Cancelled, Failed, Confirmed };

// The step an attempt reached last, in the order of the exchange.
enum class AttemptStep {
    Locate,  // the choice of file (a cancelled choice ends here)
    Image,   // the firmware file did not open, or nothing matched
    Port,    // the port did not open (first open or the reopen after the wake-up)
    Start,   // the front end would not let the first byte go (its record could not be written)
    WakeUp,
    Header,
    Checksum,
    Frame,  // see AttemptOutcome::frame
    End,    // the end frame went out
    Done,   // the unit confirmed the end frame
};

enum class EndCause {
    None,              // confirmed
    Cancelled,         // the user cancelled the choice of file: nothing opened, nothing shown
    NoImage,           // no firmware file matched the model
    ImageNotOpened,    // the file is missing, not a regular file, unreadable or over 32 bits
    ImageRefused,      // the front end would not send it (not released, not this model's)
    ImageStream,       // the file opened but its stream did not
    ImageShort,        // the file ended before the frames did (it shrank during the attempt)
    PortNotOpened,     // see portFault
    NotStarted,        // the front end refused the first byte (see AttemptHost::BeginSending)
    WriteFailed,       // a message did not go out in time
    Silent,            // no answer within the answer time
    LineLost,          // the device went away (see portFault)
    Refused,           // the unit answered with a refusal it is known to give (see answer)
    UnexpectedAnswer,  // a byte the exchange does not know here (see answer)
    Stopped,           // the port's stop signal ended the attempt (an interrupt)
};

struct AttemptOutcome {
    AttemptResult result = AttemptResult::Failed;
    AttemptStep step = AttemptStep::Locate;
    EndCause cause = EndCause::None;
    int32_t frame = 0;        // the data frame in flight at the end, from 1; 0 before the frames
    int32_t totalFrames = 0;  // 0 before the size of the image was known
    int answer = -1;          // the unit's byte that ended it, -1 for none
    PortFault portFault;      // for PortNotOpened and LineLost
};

// Where the attempt stopped, as the record spells it: "image", "port", "wake-up", "header",
// "checksum", "frame 12", "end", "done"; "" for a cancelled choice or a refused start.
std::string EndedAtName(const AttemptOutcome& outcome);

// Frames the unit accepted: all once the end frame went out, those before the one in flight
// while frames were going, none before.
int32_t FramesConfirmed(const AttemptOutcome& outcome);

}  // namespace romlift
