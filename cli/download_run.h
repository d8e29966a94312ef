// romlift-cli download: the checks that come before anything is opened, the image choice, and
// one attempt per port, all at once. In a library so that a test can run a download in-process.
#pragma once

#include "image_choice.h"
#include "interrupt.h"
#include "options.h"
#include "reporter.h"

#include <vector>

namespace romlift::cli {

inline constexpr int kExitConfirmed = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;  // also: refused before anything was sent
inline constexpr int kExitRecordIncomplete = 3;

// Runs the download `o` describes and returns the exit status: 0 when every unit confirmed and
// every row is complete, 1 when an attempt failed or the choice was cancelled, 2 for a usage
// error found before any port was opened or an attempt refused before sending (its required
// record could not take its row), 3 when every unit confirmed but a required row could not be
// completed, 128 + the signal when `interrupt` ended an attempt. Every port is released before
// it returns.
int RunDownload(const Options& o, const Console& console, Interrupt& interrupt);

// The exit status for the ports' outcomes, as RunDownload gives it; `signal` 0 for none.
int ExitStatus(const std::vector<PortOutcome>& outcomes, int signal);

}  // namespace romlift::cli
