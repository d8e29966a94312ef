// romlift-cli's word on why an attempt failed, read from the engine's outcome: the port's
// trouble, the image's, or an answer the exchange does not know (where the status line keeps
// "Downloading file ..." and says nothing more).
#pragma once

#include <optional>
#include <string>

#include "attempt_outcome.h"
#include "image_choice.h"
#include "reporter.h"

namespace romlift::cli {

// A hint for a failed, uninterrupted attempt on `port` (its label); nothing when the status
// text says all there is.
std::optional<Hint> ExplainOutcome(const std::string& port, const AttemptOutcome& outcome,
                                   const ImageChoice& image);

}  // namespace romlift::cli
