// romlift-cli history: the download record read back, or the rows kept locally while the
// server was away sent to it.
#pragma once

#include <cstdio>

#include "options.h"

namespace romlift::cli {

// Prints the rows `o` asks for on `out` (a table, JSON or CSV), or with --push sends the local
// rows and says how many on `out`. Errors go to `err` as one "romlift-cli: " line. Returns 0,
// 1 when the record could not be read or not every row went up, 2 for a --push without a server.
int RunHistory(const Options& o, std::FILE* out, std::FILE* err);

}  // namespace romlift::cli
