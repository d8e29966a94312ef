#include "outcome_advice.h"

#include "image_faults.h"
#include "port_advice.h"

namespace romlift::advice {

namespace {

std::optional<Hint> UnexpectedAnswer(const std::string& port, const AttemptOutcome& o) {
    Hint h;
    h.kind = "unexpected-answer";
    switch (o.step) {
        case AttemptStep::WakeUp:
            h.facts["phase"] = "wake-up";
            // Typically the unit's late answer to an attempt that was cut short a moment ago.
            h.text = port +
                     ": the unit did not echo the wake-up byte: it may still be ending an earlier "
                     "attempt; wait a second and download again";
            return h;
        case AttemptStep::Checksum:
            h.facts["phase"] = "checksum";
            h.text =
                port +
                ": the unit did not echo the image's checksum byte: check the cable and download "
                "again";
            return h;
        case AttemptStep::Frame:
            h.facts["phase"] = "frame";
            h.facts["frame"] = o.frame;
            h.facts["total"] = o.totalFrames;
            h.text = port + ": the unit answered frame " + std::to_string(o.frame) + " of " +
                     std::to_string(o.totalFrames) +
                     " with a byte the exchange does not know: check the cable and download "
                     "again; the unit may need it";
            return h;
        default:
            return std::nullopt;  // every answer to the header and the end frame has a text
    }
}

}  // namespace

std::optional<Hint> ExplainOutcome(const std::string& port, const AttemptOutcome& o,
                                   const ImageTried& image) {
    if (const auto advice = AdviseOnFault(o.portFault, port)) {
        return HintFromPortAdvice(*advice);
    }
    switch (o.cause) {
        case EndCause::NoImage:
        case EndCause::ImageNotOpened:
        case EndCause::ImageStream:
            return ExplainImage(image.path, image.searched, image.searchPattern);
        case EndCause::UnexpectedAnswer:
            return UnexpectedAnswer(port, o);
        default:
            return std::nullopt;
    }
}

}  // namespace romlift::advice
