// Why an attempt failed when the status line says nothing of it: the exchange ends without a text
// of its own when the unit echoes the wake-up or the checksum byte wrongly, or answers a data
// frame with a byte the exchange does not know, and "Downloading file ..." is all that shows.
#pragma once

#include <optional>
#include <string>

#include "download_state.h"
#include "reporter.h"

namespace romlift::cli {

// A hint for a failed, uninterrupted attempt on `port` (its label) whose last status text is
// still `downloadingText` (nothing was said after it); nothing when the engine gave a text of its
// own.
std::optional<Hint> ExplainUnexpectedAnswer(const std::string& port, const DownloadState& state,
                                            const std::string& lastStatus,
                                            const std::string& downloadingText);

}  // namespace romlift::cli
