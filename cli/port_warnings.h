// Warnings about a port that still opens, said before the first byte; the download runs anyway.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "reporter.h"

namespace romlift::cli {

// For each of `ports` (named `labels`, in order) that is a ttyACM port a running ModemManager
// may probe: a hint of kind "modem-manager" with the udev rule that keeps it away.
void WarnBeforeSending(const std::vector<PortArg>& ports, const std::vector<std::string>& labels,
                       Reporter& reporter);

}  // namespace romlift::cli
