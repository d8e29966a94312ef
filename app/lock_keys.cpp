#include "lock_keys.h"

#include <fstream>
#include <string>
#include <system_error>

namespace romlift {
namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool Lit(const std::filesystem::path& led) {
    std::ifstream in(led / "brightness");
    int level = 0;
    return static_cast<bool>(in >> level) && level > 0;
}

}  // namespace

LockKeys ReadLockKeys(const std::filesystem::path& ledsFolder) {
    LockKeys keys;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(ledsFolder, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (EndsWith(name, "::capslock")) {
            keys.caps = keys.caps || Lit(it->path());
        } else if (EndsWith(name, "::numlock")) {
            keys.num = keys.num || Lit(it->path());
        } else if (EndsWith(name, "::scrolllock")) {
            keys.scroll = keys.scroll || Lit(it->path());
        }
    }
    return keys;
}

}  // namespace romlift
