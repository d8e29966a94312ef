// Command line of the vx7r-sim executable.
#pragma once

#include <string>

#include "virtual_unit.h"

namespace vx7r {

struct SimOptions {
    UnitOptions unit;
    std::string savePath;  // empty: do not save
    bool once = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
};

extern const char kSimUsage[];
// "vx7r-sim " and the version every program of the project reports.
std::string SimVersionLine();

// Parses argv[1..argc-1]. False with *error set to a one-line message on a usage error.
bool ParseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error);

}  // namespace vx7r
