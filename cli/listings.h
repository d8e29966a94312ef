// The catalogue, the serial devices present, and the image choice on the command line.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "firmware_locator.h"

namespace romlift::cli {

void PrintModels(std::FILE* out);

// Serial devices under `sysClassTty` (normally /sys/class/tty) that have a device behind them;
// 8250 ports the kernel probed without finding a UART are left out. Nothing is opened.
std::vector<std::string> SerialDevices(const std::string& sysClassTty = "/sys/class/tty");
void PrintPorts(std::FILE* out, const std::string& sysClassTty = "/sys/class/tty");

// The rows as the selection dialog shows them, numbered from 1, the last marked as the default.
void PrintChoices(std::FILE* out, const std::vector<FileRow>& rows);

// How the choice among several images ended.
enum class Choice { Taken, Cancelled, Refused };

// Picks among `rows`: `pick` names one (exact name), or `ask` reads the answer from `in` after a
// prompt on `out` (Enter takes the last row), or, with neither, the choice is refused. *index is
// the chosen row.
Choice ChooseRow(const std::vector<FileRow>& rows, const std::optional<std::string>& pick, bool ask,
                 std::FILE* in, std::FILE* out, size_t* index, std::string* why);

}  // namespace romlift::cli
