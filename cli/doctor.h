// romlift-cli doctor [--json]: the machine's findings about its serial ports, each OK, WARNING
// or PROBLEM with the fix to paste.
#pragma once

#include <cstdio>
#include <vector>

#include "machine_checks.h"

namespace romlift::cli {

// Writes `findings` to `out`: a line each (and a "fix:" line under those with a fix), then a
// summary; with `json`, one object a line ("check" events, then a "summary").
void PrintFindings(std::FILE* out, const std::vector<ports::Finding>& findings, bool json);

// Looks at this machine's ports and prints the findings; the exit status: 0 when none is a
// PROBLEM, 1 otherwise.
int RunDoctor(bool json);

}  // namespace romlift::cli
