#include "scratch_folder.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "check.h"
#include "scratch_dir.h"

namespace romlift::fuzz {
namespace {

// Removed at exit, like every static; a libFuzzer run may point TMPDIR elsewhere.
std::optional<testing::ScratchDir> g_folder;

}  // namespace

const std::filesystem::path& ScratchFolder() {
    if (!g_folder) {
        const char* tmp = std::getenv("TMPDIR");
        const std::string parent = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        g_folder.emplace("romlift-fuzz", parent);
        FUZZ_CHECK(!g_folder->Path().empty(), "cannot make a scratch folder in %s", parent.c_str());
    }
    return g_folder->Path();
}

void ClearScratchFolder() {
    ScratchFolder();
    g_folder->Clear();
}

}  // namespace romlift::fuzz
