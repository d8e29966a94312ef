#include "answer_hint.h"

#include "line_tap.h"

namespace romlift::cli {

std::optional<Hint> ExplainUnexpectedAnswer(const std::string& port, const DownloadState& state,
                                            const std::string& lastStatus,
                                            const std::string& downloadingText) {
    if (lastStatus != downloadingText) {
        return std::nullopt;
    }
    Hint h;
    h.kind = "unexpected-answer";
    h.facts["phase"] = LinePhaseName(state.phase);
    switch (state.phase) {
        case LinePhase::WakeUp:
            // Typically the unit's late answer to an attempt that was cut short a moment ago.
            h.text = port +
                     ": the unit did not echo the wake-up byte: it may still be ending an earlier "
                     "attempt; wait a second and download again";
            return h;
        case LinePhase::Checksum:
            h.text =
                port +
                ": the unit did not echo the image's checksum byte: check the cable and download "
                "again";
            return h;
        case LinePhase::Frame:
            h.facts["frame"] = state.frameCounter;
            h.facts["total"] = state.totalFrames;
            h.text = port + ": the unit answered frame " + std::to_string(state.frameCounter) +
                     " of " + std::to_string(state.totalFrames) +
                     " with a byte the exchange does not know: check the cable and download "
                     "again; the unit may need it";
            return h;
        case LinePhase::Header:
        case LinePhase::End:
            break;  // every answer to these has a text of its own
    }
    return std::nullopt;
}

}  // namespace romlift::cli
