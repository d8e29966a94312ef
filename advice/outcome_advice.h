// The word on why an attempt failed, read from the engine's outcome: the port's trouble, the
// image's, or an answer the exchange does not know (where the status line keeps
// "Downloading file ..." and says nothing more).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "attempt_outcome.h"
#include "hint.h"

namespace romlift::advice {

// The image the attempt went for.
struct ImageTried {
    std::filesystem::path path;  // empty when nothing matched
    bool searched = false;       // found (or not) by the search of `searchPattern`
    std::string searchPattern;
};

// A hint for a failed, uninterrupted attempt on `port` (its label); nothing when the status
// text says all there is.
std::optional<Hint> ExplainOutcome(const std::string& port, const AttemptOutcome& outcome,
                                   const ImageTried& image);

}  // namespace romlift::advice
