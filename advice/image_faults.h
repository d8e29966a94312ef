// Why a firmware image or a drivers folder cannot be read, in words a production engineer can
// act on: the status line only ever says "Download :Can not open file".
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "hint.h"

namespace romlift::advice {

// Looks at `image` (stat and an open for reading, nothing else) after the transfer could not
// open it. `searched`: it came from the search of `searchPattern` (an empty path: nothing
// matched), so a file missing now has gone since.
Hint ExplainImage(const std::filesystem::path& image, bool searched,
                  const std::string& searchPattern);

// Why `folder` cannot be searched ("--drivers /srv/fw: no such folder"), or nothing when it is a
// folder this user may read.
std::optional<std::string> DriversFolderProblem(const std::filesystem::path& folder);

}  // namespace romlift::advice
