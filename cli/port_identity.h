// Two --port that are one device would race for it: the second attempt finds it "in use by
// another program", blaming the wrong holder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "options.h"

namespace romlift::cli {

// The usage error for the first two ports that name one device (COMn through the COM map, a
// path, a link: compared by device number, or by file for what is not a device), or nothing.
// Ports that name nothing present are left to fail at their open.
std::optional<std::string> SameDeviceTwice(const std::vector<PortArg>& ports);

}  // namespace romlift::cli
