// Who may use a serial device and who holds it, in words: the facts behind a permission or busy
// message, gathered from stat(), the group database and this login, without opening the device.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "device_holders.h"

namespace romlift::ports {

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
