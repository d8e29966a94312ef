// Which device a --port is. Two --port that are one device would race for it: the second attempt
// finds it "in use by another program", blaming the wrong holder. A --port that is the program's
// own terminal would be switched to a raw 9600-baud line under the operator's keyboard.
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

// The usage error for the first port that is this program's own terminal: /dev/tty, the
// controlling terminal, or the device on standard input, output or error (compared by device
// number, so links, other names and COMn count too). Nothing when none is.
std::optional<std::string> OwnTerminal(const std::vector<PortArg>& ports);

}  // namespace romlift::cli
