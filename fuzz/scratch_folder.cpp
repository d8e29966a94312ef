#include "scratch_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>

#include "check.h"

namespace romlift::fuzz {
namespace {

std::filesystem::path g_folder;

void OpenUp(const std::filesystem::path& dir) {
    // Permission bits the run may have set must not stop the removal.
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(
             dir, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            ::chmod(it->path().c_str(), 0700);
        }
    }
}

void RemoveFolder() {
    if (!g_folder.empty()) {
        OpenUp(g_folder);
        std::error_code ec;
        std::filesystem::remove_all(g_folder, ec);
    }
}

}  // namespace

const std::filesystem::path& ScratchFolder() {
    if (g_folder.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/romlift-fuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(tmpl.data()) != nullptr, "cannot make a scratch folder %s",
                   tmpl.c_str());
        g_folder = tmpl;
        FUZZ_CHECK(std::atexit(RemoveFolder) == 0, "cannot arrange the clean-up");
    }
    return g_folder;
}

void ClearScratchFolder() {
    const std::filesystem::path& dir = ScratchFolder();
    OpenUp(dir);
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        std::error_code ignored;
        std::filesystem::remove_all(e.path(), ignored);
    }
}

}  // namespace romlift::fuzz
