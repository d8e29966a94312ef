// romlift-cli models and ports: the catalogue, the serial devices present, the COM map.
#pragma once

#include <cstdio>

#include "com_map.h"
#include "options.h"

namespace romlift::cli {

void PrintModels(std::FILE* out);

// Looks at the ports (new adapters get their numbers) and lists the serial devices present, then
// where COM1 to COM4 come from; map file problems go to standard error (with `json`, as
// "problem" lines on `out`). Nothing is opened.
void PrintPorts(std::FILE* out, ports::ComMap& map, bool json);

// romlift-cli ports [assign|forget]: the exit status, 2 when the map refused the change.
int RunPorts(const Options& o);

}  // namespace romlift::cli
