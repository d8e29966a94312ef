// One download attempt: have the firmware located, stop quietly on a cancelled choice, transfer.
#pragma once

#include <functional>

#include "attempt_outcome.h"

namespace romlift {

struct DownloadState;
class DownloadHost;

// Fills the state's image file name (and chosen file name) for the selected model; may ask the
// host to choose. True when any file matched. Supplied by the front end, so that the engine does
// not depend on where firmware lives.
using Locator = std::function<bool(DownloadState&, DownloadHost&)>;

// Clears the image file name, locates, and unless the user cancelled the choice runs the transfer.
// Returns how the attempt ended (also left in state.outcome).
AttemptOutcome DoDownload(DownloadState& state, DownloadHost& host, const Locator& locate);

}  // namespace romlift
