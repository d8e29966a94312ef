// romlift-cli download: the checks that come before anything is opened, the image choice, and
// one attempt per port, all at once. In a library so that a test can run a download in-process.
#pragma once

#include "image_choice.h"
#include "interrupt.h"
#include "options.h"

namespace romlift::cli {

inline constexpr int kExitConfirmed = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Runs the download `o` describes and returns the exit status: 0 when every unit confirmed, 1
// when an attempt failed or the choice was cancelled, 2 for a usage error found before any port
// was opened, 128 + the signal when `interrupt` ended the attempts. Every port is released
// before it returns.
int RunDownload(const Options& o, const Console& console, Interrupt& interrupt);

}  // namespace romlift::cli
