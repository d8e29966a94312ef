// romlift-cli run as the user nobody through setpriv, for what only an unprivileged user sees:
// devices it may not open, groups it is not in.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run_cli.h"

namespace romlift::testing {

inline constexpr uid_t kNobody = 65534;

// Why runs as nobody cannot be made here, "" when they can: `*user` is then its name.
inline std::string CannotRunAsNobody(std::string* user) {
    if (::geteuid() != 0) {
        return "needs root to run romlift-cli as another user and to chown its devices";
    }
    if (::access("/usr/bin/setpriv", X_OK) != 0) {
        return "setpriv (util-linux) is not installed";
    }
    const passwd* pw = ::getpwuid(kNobody);
    if (pw == nullptr) {
        return "no user with uid 65534 on this machine";
    }
    *user = pw->pw_name;
    return "";
}

// A copy of romlift-cli in `dir` that nobody may run: the build folder may sit where nobody
// cannot reach it. Empty when it could not be made.
inline std::filesystem::path CopyForNobody(const std::filesystem::path& dir) {
    const std::filesystem::path cli = dir / "romlift-cli";
    std::error_code ec;
    std::filesystem::copy_file(ROMLIFT_CLI, cli, std::filesystem::copy_options::overwrite_existing,
                               ec);
    return !ec && ::chmod(cli.c_str(), 0755) == 0 ? cli : std::filesystem::path();
}

// `cli` with `args` as nobody, in `groups` only (none: no supplementary group at all).
inline RunSpec NobodySpec(const std::filesystem::path& cli, const std::vector<std::string>& groups,
                          const std::vector<std::string>& args,
                          const std::vector<std::string>& env = {}) {
    std::vector<std::string> a{"--reuid=65534", "--regid=65534"};
    if (groups.empty()) {
        a.push_back("--clear-groups");
    } else {
        std::string list;
        for (const std::string& g : groups) {
            list += (list.empty() ? "" : ",") + g;
        }
        a.push_back("--groups=" + list);
    }
    a.push_back(cli.string());
    a.insert(a.end(), args.begin(), args.end());
    return RunSpec{a, env, "/usr/bin/setpriv"};
}

inline gid_t GroupId(const char* name) {
    const group* g = ::getgrnam(name);
    return g != nullptr ? g->gr_gid : static_cast<gid_t>(-1);
}

// `device` as udev leaves it: owned by root, in `group`, with `mode`.
inline bool OwnAs(const std::string& device, const char* group, mode_t mode) {
    return ::chown(device.c_str(), 0, GroupId(group)) == 0 && ::chmod(device.c_str(), mode) == 0;
}

}  // namespace romlift::testing
