// Which image every port sends: --image as given, or the one the drivers folder holds for the
// model, chosen among several by --pick, --pick-hex or the person at the terminal.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "firmware_locator.h"
#include "options.h"
#include "reporter.h"

namespace romlift::cli {

// The streams a run talks through, and whether they are terminals.
struct Console {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    std::FILE* in = stdin;
    bool errIsTerminal = false;
    bool inIsTerminal = false;
    bool catchSignals = false;  // SIGINT and SIGTERM interrupt the ports' attempts
};

struct ImageChoice {
    std::filesystem::path imageFileName;  // empty when nothing matched
    std::string chosenFileName;
    bool searched = false;      // found (or not) by the search, not named by --image
    std::string searchPattern;  // when searched
    bool cancelled = false;     // the person at the terminal said q, or input ended
    bool refused = false;       // no choice can be made: a usage error, said through the reporter
};

ImageChoice ChooseImage(const Options& o, Reporter& reporter, const Console& console);

// The rows as the selection dialog shows them, numbered from 1, the last marked as the default.
void PrintChoices(std::FILE* out, const std::vector<FileRow>& rows);
// The rows as one "candidates" JSON line: each name as UTF-8 and as the hex of its bytes.
void PrintCandidatesJson(std::FILE* out, const std::vector<FileRow>& rows);

// How the choice among several images ended.
enum class Choice { Taken, Cancelled, Refused };

// Picks among `rows`: `pick` holds the bytes of one name (`pickAsGiven` is the option as typed,
// for the message), or `ask` reads the answer from `in` after a prompt on `out` (Enter takes the
// last row), or, with neither, the choice is refused. *index is the chosen row.
Choice ChooseRow(const std::vector<FileRow>& rows, const std::optional<std::string>& pick,
                 const std::string& pickAsGiven, bool ask, std::FILE* in, std::FILE* out,
                 size_t* index, std::string* why);

}  // namespace romlift::cli
