#include "port_advice.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "serial_traps.h"

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

const std::string kSeePorts = "romlift-cli ports lists the serial devices present";

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

std::optional<PortAdvice> AdviseOnFault(const PortFault& fault, const std::string& portLabel) {
    if (fault.kind == PortFault::Kind::None) {
        return std::nullopt;
    }
    PortAdvice a;
    a.device = fault.device;
    a.err = fault.err;
    const std::string shown =
        portLabel == fault.device ? fault.device : fault.device + " (" + portLabel + ")";

    if (fault.kind == PortFault::Kind::NoDevice) {
        a.kind = "no-number";
        if (const auto brltty = BrlttyAdvice(PortsPaths::ForThisProcess())) {
            a.text = portLabel + ": " + fault.detail + "; " + *brltty;
            return a;
        }
        a.text = portLabel + ": " + fault.detail +
                 "; plug in the adapter (a new one gets the lowest free COM number) or give one "
                 "a number with romlift-cli ports assign " +
                 portLabel + " DEVICE; " + kSeePorts;
        return a;
    }
    if (fault.kind == PortFault::Kind::HungUp) {
        a.kind = "hung-up";
        a.text = shown +
                 " went away (hung up) during the download: check the cable and the USB adapter; "
                 "the unit may need the download again";
        return a;
    }
    using E = SerialLine::OpenError;
    const bool busy =
        fault.openError == E::Busy || (fault.openError == E::Open && fault.err == EBUSY);
    if (busy) {
        a.kind = "busy";
        a.holders = FindHolders(fault.device, ::getpid());
        a.text = BusyText(shown, a.holders);
    } else if (fault.openError == E::NotTerminal ||
               (fault.openError == E::Open && fault.err == EISDIR)) {
        a.kind = "not-terminal";
        a.text = shown +
                 " is not a serial device (not a terminal); name the serial port's device, "
                 "e.g. /dev/ttyUSB0; " +
                 kSeePorts;
    } else if (fault.openError == E::Settings) {
        a.kind = "settings";
        a.text = shown + " would not take the line settings (9600 baud, 8 data bits, raw): " +
                 std::strerror(fault.err);
    } else if (fault.err == EACCES || fault.err == EPERM) {
        a.kind = "permission";
        a.text = PermissionText(GatherAccessFacts(fault.device), shown);
    } else if (fault.err == ENOENT) {
        a.kind = "absent";
        const std::string name = fault.device.substr(fault.device.rfind('/') + 1);
        const bool usbSerial = name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
        const auto brltty = usbSerial ? BrlttyAdvice(PortsPaths::ForThisProcess()) : std::nullopt;
        a.text = "no such device " + shown + ": " +
                 (brltty ? *brltty : "plug in the adapter or choose another port; " + kSeePorts);
    } else if (fault.openError == E::NoUart || fault.err == ENXIO || fault.err == ENODEV ||
               fault.err == EIO) {
        // A ttyS node the kernel made without finding a UART, or an adapter on its way out.
        a.kind = "no-hardware";
        a.text = "no serial port answers at " + shown +
                 ": the device node is there but no hardware is behind it; " + kSeePorts;
    } else {
        a.kind = "open";
        a.text = "cannot open " + shown + ": " + std::strerror(fault.err);
    }
    return a;
}

}  // namespace romlift::ports
