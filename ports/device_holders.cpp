#include "device_holders.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace romlift::ports {
namespace {

namespace fs = std::filesystem;

bool ParsePid(const std::string& text, pid_t* pid) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 9) {
        return false;
    }
    *pid = static_cast<pid_t>(std::stol(text));
    return *pid > 0;
}

// "1: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF": major and minor of the node's file system in
// hex, then its inode. Waiters ("1: -> FLOCK ...") hold nothing and are skipped.
void FromLocks(const std::string& procRoot, const struct stat& node, std::set<pid_t>& pids) {
    std::ifstream in(procRoot + "/locks");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, type, advisory, access, pidText, where;
        if (!(fields >> id >> type >> advisory >> access >> pidText >> where) || type == "->") {
            continue;
        }
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        char colon1 = 0, colon2 = 0;
        std::istringstream w(where);
        if (!(w >> std::hex >> major >> colon1 >> minor >> colon2 >> std::dec >> inode) ||
            colon1 != ':' || colon2 != ':') {
            continue;
        }
        pid_t pid = 0;
        if (ParsePid(pidText, &pid) && major == ::major(node.st_dev) &&
            minor == ::minor(node.st_dev) && inode == node.st_ino) {
            pids.insert(pid);
        }
    }
}

void FromDescriptors(const std::string& procRoot, const struct stat& node, std::set<pid_t>& pids) {
    std::error_code ec;
    for (const auto& proc : fs::directory_iterator(procRoot, ec)) {
        pid_t pid = 0;
        if (!ParsePid(proc.path().filename().string(), &pid) || pids.count(pid) != 0) {
            continue;
        }
        std::error_code fdEc;
        for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fdEc)) {
            struct stat st {};
            // stat() follows the descriptor's link to the open file itself.
            if (::stat(fd.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == node.st_rdev) {
                pids.insert(pid);
                break;
            }
        }
    }
}

std::string CommandName(const std::string& procRoot, pid_t pid) {
    std::ifstream in(procRoot + "/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

std::vector<Holder> FindHolders(const std::string& device, pid_t self,
                                const std::string& procRoot) {
    struct stat node {};
    if (::stat(device.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) {
        return {};
    }
    std::set<pid_t> pids;
    FromLocks(procRoot, node, pids);
    FromDescriptors(procRoot, node, pids);
    pids.erase(self);
    std::vector<Holder> holders;
    holders.reserve(pids.size());
    for (pid_t pid : pids) {
        holders.push_back(Holder{pid, CommandName(procRoot, pid)});
    }
    return holders;
}

}  // namespace romlift::ports
