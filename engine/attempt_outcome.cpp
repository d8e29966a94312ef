#include "attempt_outcome.h"

namespace romlift {

std::string EndedAtName(const AttemptOutcome& o) {
    switch (o.step) {
        case AttemptStep::Locate:
        case AttemptStep::Start:
            return {};
        case AttemptStep::Image:
            return "image";
        case AttemptStep::Port:
            return "port";
        case AttemptStep::WakeUp:
            return "wake-up";
        case AttemptStep::Header:
            return "header";
        case AttemptStep::Checksum:
            return "checksum";
        case AttemptStep::Frame:
            return "frame " + std::to_string(o.frame);
        case AttemptStep::End:
            return "end";
        case AttemptStep::Done:
            return "done";
    }
    return {};
}

int32_t FramesConfirmed(const AttemptOutcome& o) {
    switch (o.step) {
        case AttemptStep::End:
        case AttemptStep::Done:
            return o.totalFrames;
        case AttemptStep::Frame:
            return o.frame > 0 ? o.frame - 1 : 0;
        default:
            return 0;
    }
}

}  // namespace romlift
