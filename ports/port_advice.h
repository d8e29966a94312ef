// romlift-cli's own line of advice when a port would not open or went away mid-download: the
// status line keeps the unit's texts ("Can not open Port COM3"), this says what to do about it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "device_holders.h"
#include "port_fault.h"

namespace romlift::ports {

struct PortAdvice {
    // "permission", "absent", "no-hardware", "not-terminal", "busy", "settings", "open",
    // "hung-up", "no-number" (COMn names no device): a stable word for scripts.
    std::string kind;
    std::string device;           // the path that was opened
    int err = 0;                  // errno behind it
    std::string text;             // one line, without the "romlift-cli: " prefix
    std::vector<Holder> holders;  // for "busy", the programs seen holding the device
};

// What to tell the user about `fault` on the port named `portLabel` ("COM3" or the device path).
// Nothing when there is no fault. Looks at the device (stat, the group database, /proc) but
// never opens it. A port that names no device, or a USB serial path that is not there, gets
// brltty named when it has claimed an adapter (sysfs of this process's PortsPaths).
std::optional<PortAdvice> AdviseOnFault(const PortFault& fault, const std::string& portLabel);

// Permission bits in octal, as chmod takes them: "0660".
std::string Octal(mode_t mode);

// The name of a user or group, or its number when the database has none. Safe on any thread.
std::string UserName(uid_t uid);
std::string GroupName(gid_t gid);

// The group database's view and this login's of the effective user in group `gid`: a user added
// with usermod -aG is listed at once, while a running login keeps the groups it started with.
struct Membership {
    bool listed = false;   // the group database puts the user in the group
    bool session = false;  // this process runs with the group
};
Membership MembershipOf(gid_t gid);

// The facts a permission message rests on, gathered apart so that each wording can be tested.
struct AccessFacts {
    std::string user;    // the effective user's name, or its number
    bool known = false;  // the device could be stat()ed
    std::string owner;   // the device's owner and group, by name when they have one
    std::string group;
    mode_t mode = 0;               // permission bits of the device
    bool listedInGroup = false;    // the group database puts the user in the device's group
    bool sessionHasGroup = false;  // this process runs with that group
};
AccessFacts GatherAccessFacts(const std::string& device);
// `shownAs` names the device in the text, e.g. "/dev/ttyS2 (COM3)".
std::string PermissionText(const AccessFacts& facts, const std::string& shownAs);

// The busy line for the device `shownAs`, held by `holders` (possibly none seen).
std::string BusyText(const std::string& shownAs, const std::vector<Holder>& holders);

}  // namespace romlift::ports
