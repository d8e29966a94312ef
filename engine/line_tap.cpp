#include "line_tap.h"

namespace romlift {

const char* LinePhaseName(LinePhase phase) {
    switch (phase) {
        case LinePhase::WakeUp:
            return "wake-up";
        case LinePhase::Header:
            return "header";
        case LinePhase::Checksum:
            return "checksum";
        case LinePhase::Frame:
            return "frame";
        case LinePhase::End:
            return "end";
    }
    return "?";
}

}  // namespace romlift
