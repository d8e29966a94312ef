#include "device_access.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace romlift::ports {
namespace {

// The _r lookups: advice for two ports that fail at once is composed on two threads, and
// getpwuid() and getgrgid() share one static record.
long BufferSize(int name) {
    const long size = ::sysconf(name);
    return size > 0 ? size : 16384;
}

bool LookUpUser(uid_t uid, std::string* name, gid_t* primaryGroup) {
    std::vector<char> buffer(static_cast<size_t>(BufferSize(_SC_GETPW_R_SIZE_MAX)));
    passwd record{};
    passwd* found = nullptr;
    while (::getpwuid_r(uid, &record, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr) {
        return false;
    }
    *name = found->pw_name;
    *primaryGroup = found->pw_gid;
    return true;
}

bool SessionHasGroup(gid_t gid) {
    if (::getegid() == gid) {
        return true;
    }
    const int n = ::getgroups(0, nullptr);
    if (n <= 0) {
        return false;
    }
    std::vector<gid_t> groups(static_cast<size_t>(n));
    const int got = ::getgroups(n, groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[static_cast<size_t>(i)] == gid) {
            return true;
        }
    }
    return false;
}

// The group database's view: a user added with usermod -aG is listed at once, while the
// running session keeps the groups it logged in with.
bool ListedInGroup(uid_t uid, gid_t gid) {
    std::string name;
    gid_t primary = 0;
    if (!LookUpUser(uid, &name, &primary)) {
        return false;
    }
    if (primary == gid) {
        return true;
    }
    int n = 32;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    if (::getgrouplist(name.c_str(), primary, groups.data(), &n) < 0) {
        groups.resize(static_cast<size_t>(n));
        if (::getgrouplist(name.c_str(), primary, groups.data(), &n) < 0) {
            return false;
        }
    }
    for (int i = 0; i < n; ++i) {
        if (groups[static_cast<size_t>(i)] == gid) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string UserName(uid_t uid) {
    std::string name;
    gid_t primary = 0;
    return LookUpUser(uid, &name, &primary) ? name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    std::vector<char> buffer(static_cast<size_t>(BufferSize(_SC_GETGR_R_SIZE_MAX)));
    group record{};
    group* found = nullptr;
    while (::getgrgid_r(gid, &record, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    return found != nullptr ? std::string(found->gr_name) : std::to_string(gid);
}

AccessFacts GatherAccessFacts(const std::string& device) {
    AccessFacts f;
    f.user = UserName(::geteuid());
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) {
        return f;
    }
    f.known = true;
    f.owner = UserName(st.st_uid);
    f.group = GroupName(st.st_gid);
    f.mode = st.st_mode & 07777;
    const Membership m = MembershipOf(st.st_gid);
    f.listedInGroup = m.listed;
    f.sessionHasGroup = m.session;
    return f;
}

Membership MembershipOf(gid_t gid) {
    return Membership{ListedInGroup(::geteuid(), gid), SessionHasGroup(gid)};
}

std::string PermissionText(const AccessFacts& f, const std::string& shownAs) {
    const std::string start = "permission denied on " + shownAs + ": ";
    if (!f.known) {
        return start + "user " + f.user +
               " may not reach it; a folder on its path keeps this user out";
    }
    const bool groupMayUse = (f.mode & 060) == 060;
    if (!groupMayUse) {
        return start + "mode " + Octal(f.mode) + " lets only its owner " + f.owner +
               " use it; ask the administrator to give group " + f.group +
               " read and write access (a udev rule), then join that group";
    }
    if (f.sessionHasGroup) {
        return start + "user " + f.user + " is in its group " + f.group +
               " yet may not open it; ask the administrator to check its access rules";
    }
    if (f.listedInGroup) {
        return start + "user " + f.user + " has joined group " + f.group +
               ", but this login started before that; log out and in again (or run newgrp " +
               f.group + ")";
    }
    return start + "user " + f.user + " may not open it; join group " + f.group +
           " (sudo usermod -aG " + f.group + " " + f.user + "), then log out and in again";
}

std::string BusyText(const std::string& shownAs, const std::vector<Holder>& holders) {
    std::string who;
    for (const Holder& h : holders) {
        who += who.empty() ? " (" : "; ";
        who += (h.program.empty() ? std::string("PID ") : h.program + ", PID ") +
               std::to_string(h.pid);
    }
    if (!who.empty()) {
        who += ")";
    }
    return shownAs + " is in use by another program" + who + ": close it, then try again";
}

}  // namespace romlift::ports
