#include "machine_checks.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <tuple>

#include "device_access.h"
#include "device_holders.h"
#include "serial_traps.h"
#include "system_services.h"

namespace romlift::ports {
namespace {

constexpr const char* kSerialGroup = "dialout";  // what Debian's udev gives serial devices

std::string Joined(const std::vector<std::string>& items, const char* between = ", ") {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : between) + item;
    }
    return text;
}

std::string Pids(const std::vector<pid_t>& pids) {
    std::vector<std::string> texts;
    texts.reserve(pids.size());
    for (pid_t p : pids) {
        texts.push_back(std::to_string(p));
    }
    return (pids.size() == 1 ? "PID " : "PIDs ") + Joined(texts);
}

// "ann (groups ann, plugdev)": the user and the groups this login runs with.
std::string UserWithGroups() {
    std::vector<std::string> names{GroupName(::getegid())};
    const int n = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<size_t>(n > 0 ? n : 0));
    const int got = n > 0 ? ::getgroups(n, groups.data()) : 0;
    for (int i = 0; i < got; ++i) {
        const std::string name = GroupName(groups[static_cast<size_t>(i)]);
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
    return UserName(::geteuid()) + " (groups " + Joined(names) + ")";
}

// The finding for a group whose members may open its devices, when this user is not one.
Finding GroupFinding(const std::string& group, const Membership& m, const std::string& devices) {
    const std::string user = UserName(::geteuid());
    const std::string about = devices.empty() ? "group " + group + ", which serial devices get"
                                              : "group " + group + " of " + devices;
    if (m.session) {
        return {Level::Ok, "access", "", "user " + UserWithGroups() + " is in " + about, ""};
    }
    if (m.listed) {
        return {Level::Problem, "access", "",
                "user " + user + " has joined " + about + ", but this login started before that",
                "log out and in again (or run newgrp " + group + ")"};
    }
    return {Level::Problem, "access", "", "user " + UserWithGroups() + " is not in " + about,
            "sudo usermod -aG " + group + " " + user + ", then log out and in again"};
}

void CheckAccess(const std::vector<SerialDevice>& devices, std::vector<Finding>& out) {
    if (::geteuid() == 0) {
        out.push_back({Level::Ok, "access", "",
                       "user root: every serial device opens for root, whatever its group", ""});
        return;
    }
    // The devices by group, in the order first seen.
    std::vector<gid_t> order;
    std::map<gid_t, std::vector<const SerialDevice*>> byGroup;
    for (const SerialDevice& d : devices) {
        struct stat st {};
        if (::stat(d.path.c_str(), &st) != 0) {
            continue;
        }
        if (byGroup.count(st.st_gid) == 0) {
            order.push_back(st.st_gid);
        }
        byGroup[st.st_gid].push_back(&d);
    }
    if (order.empty()) {
        // Nothing to look at yet: the group the first adapter will get.
        if (const group* g = ::getgrnam(kSerialGroup)) {
            out.push_back(GroupFinding(kSerialGroup, MembershipOf(g->gr_gid), ""));
        }
        return;
    }
    for (gid_t gid : order) {
        std::vector<std::string> open, denied;
        for (const SerialDevice* d : byGroup[gid]) {
            const bool may = ::faccessat(AT_FDCWD, d->path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
            const AccessFacts f = GatherAccessFacts(d->path);
            if (!may && f.known && (f.mode & 060) != 060) {
                // The group is no way in: only a rule that changes the mode helps.
                const std::string stem = d->name.substr(0, d->name.find_first_of("0123456789"));
                out.push_back(
                    {Level::Problem, "access", d->path,
                     d->path + ": mode " + Octal(f.mode) + " lets only its owner " + f.owner +
                         " open it",
                     "echo 'SUBSYSTEM==\"tty\", KERNEL==\"" + stem + "[0-9]*\", GROUP=\"" +
                         kSerialGroup +
                         "\", MODE=\"0660\"' | sudo tee -a /etc/udev/rules.d/60-romlift.rules && "
                         "sudo udevadm control --reload && sudo udevadm trigger"});
                continue;
            }
            (may ? open : denied).push_back(d->path);
        }
        const std::string group = GroupName(gid);
        if (!denied.empty()) {
            const Membership m = MembershipOf(gid);
            if (m.session) {
                out.push_back({Level::Problem, "access", "",
                               "user " + UserWithGroups() + " is in group " + group + " of " +
                                   Joined(denied) + " yet may not open them",
                               "ask the administrator to check their access rules (getfacl " +
                                   denied.front() + ")"});
            } else {
                out.push_back(GroupFinding(group, m, Joined(denied)));
            }
        }
        if (!open.empty()) {
            out.push_back({Level::Ok, "access", "",
                           "user " + UserWithGroups() + " may open " + Joined(open) + " (group " +
                               group + ")",
                           ""});
        }
    }
}

void CheckDevices(const ComMap& map, std::vector<Finding>& out) {
    for (const std::string& problem : map.Problems()) {
        out.push_back({Level::Warning, "com-map", "", problem,
                       "correct or remove the line it names, while no romlift program runs"});
    }
    if (map.Devices().empty()) {
        out.push_back({Level::Warning, "device", "", "no serial device found",
                       "plug in the adapter, then run romlift-cli doctor again"});
    }
    for (const SerialDevice& d : map.Devices()) {
        const int com = map.ComOf(d);
        std::string text = d.path + ": " +
                           (com > 0 ? "COM" + std::to_string(com) : "no COM number") + ", driver " +
                           (d.driver.empty() ? "none" : d.driver);
        if (d.adapter) {
            text += ", USB " + d.id.vendor + ":" + d.id.product + ", " + d.Description();
        } else if (d.uart) {
            text += ", UART";
        }
        out.push_back({Level::Ok, "device", d.path, text, ""});

        if (d.name.rfind("ttyUSB", 0) != 0) {
            continue;
        }
        const std::string timer =
            ReadAttribute(map.Paths().sys / "class" / "tty" / d.name / "device" / "latency_timer");
        if (timer.empty()) {
            out.push_back({Level::Ok, "latency", d.path,
                           d.path + ": driver " + d.driver +
                               " has no latency timer; low latency does not apply",
                           ""});
        } else if (timer == "0" || timer == "1") {
            out.push_back({Level::Ok, "latency", d.path,
                           d.path + ": latency timer " + timer + " ms: answers pass at once", ""});
        } else {
            out.push_back({Level::Ok, "latency", d.path,
                           d.path + ": latency timer " + timer +
                               " ms; a download switches the port to low latency (1 ms) and back",
                           ""});
        }
    }
}

void CheckById(const std::vector<SerialDevice>& devices, std::vector<Finding>& out) {
    // udev names an adapter by its maker, product and serial number: without a serial number,
    // two of a kind get one name, and the last one plugged in takes it.
    std::map<std::tuple<std::string, std::string, std::string, std::string>,
             std::vector<const SerialDevice*>>
        alike;
    for (const SerialDevice& d : devices) {
        if (d.adapter && d.id.serial.empty()) {
            alike[{d.id.vendor, d.id.product, d.manufacturer, d.product}].push_back(&d);
        }
    }
    for (const auto& [key, group] : alike) {
        if (group.size() < 2) {
            continue;
        }
        std::vector<std::string> paths;
        std::string holder;
        for (const SerialDevice* d : group) {
            paths.push_back(d->path);
            if (!d->byId.empty()) {
                holder = " (" + d->byId + " names " + d->path + " only)";
            }
        }
        out.push_back({Level::Warning, "by-id", "",
                       Joined(paths) + " (" + std::get<0>(key) + ":" + std::get<1>(key) +
                           ", no serial number) share one /dev/serial/by-id name" + holder,
                       "name them by USB socket instead: their COM numbers (romlift-cli ports) "
                       "or /dev/serial/by-path; plug each into the same socket every time"});
    }
}

// /dev/bus/usb/001/004: the node through which programs claim the USB device on `usbPort`.
std::string UsbNode(const PortsPaths& paths, const std::string& usbPort) {
    const auto usb = paths.sys / "bus" / "usb" / "devices" / usbPort;
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03ld/%03ld",
                  std::strtol(ReadAttribute(usb / "busnum").c_str(), nullptr, 10),
                  std::strtol(ReadAttribute(usb / "devnum").c_str(), nullptr, 10));
    return node;
}

void CheckBrltty(const PortsPaths& paths, const std::vector<SerialDevice>& devices,
                 std::vector<Finding>& out) {
    const BrlttyClaim claim = FindBrlttyClaims(paths, devices);
    const bool installed = BrlttyInstalled();
    bool without = false;
    for (const UsbSerialAdapter& a : ListUsbSerialAdapters(paths, devices)) {
        if (!a.ttys.empty()) {
            continue;
        }
        without = true;
        const std::string start = "USB adapter " + a.Describe() + " has no serial device: ";
        const bool claimed =
            std::any_of(claim.adapters.begin(), claim.adapters.end(),
                        [&](const UsbSerialAdapter& c) { return c.usbPort == a.usbPort; });
        if (claimed && !claim.brltty.empty()) {
            out.push_back({Level::Problem, "brltty", "",
                           start + "brltty (a braille display service, " + Pids(claim.brltty) +
                               ") has claimed it",
                           kBrlttyFix});
        } else if (claimed) {
            out.push_back({Level::Problem, "brltty", "", start + "a program holds it through usbfs",
                           "find it with sudo fuser -v " + UsbNode(paths, a.usbPort) +
                               ", end it, then unplug the adapter and plug it in again"});
        } else {
            out.push_back(
                {Level::Warning, "brltty", "",
                 start + "no driver has taken it" +
                     (installed ? " (brltty is installed and may take it when it is "
                                  "plugged in)"
                                : ""),
                 "sudo modprobe " + a.driver + ", then unplug the adapter and plug it in again"});
        }
    }
    if (without) {
        return;
    }
    if (!claim.brltty.empty()) {
        out.push_back({Level::Warning, "brltty", "",
                       "brltty (a braille display service, " + Pids(claim.brltty) +
                           ") is running: it claims many USB serial adapters (CH340, CP210x, "
                           "FTDI, PL2303) when they are plugged in, and then no /dev/ttyUSB "
                           "appears",
                       kBrlttyFix});
    } else if (installed) {
        out.push_back({Level::Warning, "brltty", "",
                       "brltty (a braille display service) is installed: its udev rules start "
                       "it for many USB serial adapters (CH340, CP210x, FTDI, PL2303) when they "
                       "are plugged in, and then no /dev/ttyUSB appears",
                       kBrlttyFix});
    } else {
        out.push_back({Level::Ok, "brltty", "", "brltty is not installed", ""});
    }
}

void CheckModemManager(const PortsPaths& paths, const std::vector<SerialDevice>& devices,
                       std::vector<Finding>& out) {
    const std::vector<pid_t> mm = ProcessesNamed("ModemManager");
    if (mm.empty()) {
        out.push_back({Level::Ok, "modemmanager", "", "ModemManager is not running", ""});
        return;
    }
    bool acm = false;
    for (const SerialDevice& d : devices) {
        if (d.name.rfind("ttyACM", 0) != 0) {
            continue;
        }
        acm = true;
        if (ModemManagerIgnores(paths, d.name)) {
            out.push_back({Level::Ok, "modemmanager", d.path,
                           d.path + ": ModemManager is told to leave it alone "
                                    "(ID_MM_DEVICE_IGNORE)",
                           ""});
            continue;
        }
        out.push_back({Level::Warning, "modemmanager", d.path,
                       d.path + ": ModemManager (" + Pids(mm) +
                           ") may send AT commands to it in the first seconds after it appears, "
                           "into a download",
                       ModemManagerFix(d.id.vendor, d.id.product)});
    }
    if (!acm) {
        out.push_back({Level::Ok, "modemmanager", "",
                       "ModemManager (" + Pids(mm) +
                           ") is running; no ttyACM port is present "
                           "for it to probe",
                       ""});
    }
}

void CheckHolders(const std::vector<SerialDevice>& devices, std::vector<Finding>& out) {
    for (const SerialDevice& d : devices) {
        const std::vector<Holder> holders = FindHolders(d.path, ::getpid());
        if (holders.empty()) {
            continue;
        }
        std::vector<std::string> pids;
        pids.reserve(holders.size());
        for (const Holder& h : holders) {
            pids.push_back(std::to_string(h.pid));
        }
        out.push_back({Level::Warning, "holder", d.path, BusyText(d.path, holders),
                       "close it, or end it: kill " + Joined(pids, " ")});
    }
}

}  // namespace

const char* LevelName(Level level) {
    switch (level) {
        case Level::Ok:
            return "OK";
        case Level::Warning:
            return "WARNING";
        case Level::Problem:
            return "PROBLEM";
    }
    return "?";
}

std::vector<Finding> Examine(ComMap& map) {
    map.Refresh();
    std::vector<Finding> out;
    CheckAccess(map.Devices(), out);
    CheckDevices(map, out);
    CheckById(map.Devices(), out);
    CheckBrltty(map.Paths(), map.Devices(), out);
    CheckModemManager(map.Paths(), map.Devices(), out);
    CheckHolders(map.Devices(), out);
    return out;
}

}  // namespace romlift::ports
