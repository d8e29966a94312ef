// The catalogue, the serial devices present, and the image choice on the command line.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "com_map.h"
#include "firmware_locator.h"

namespace romlift::cli {

void PrintModels(std::FILE* out);

// Looks at the ports (new adapters get their numbers) and lists the serial devices present, then
// where COM1 to COM4 come from; map file problems go to standard error (with `json`, as
// "problem" lines on `out`). Nothing is opened.
void PrintPorts(std::FILE* out, ports::ComMap& map, bool json);

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
