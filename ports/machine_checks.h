// romlift-cli doctor: what on this machine stands between a technician and a serial port, each
// finding with the fix to paste. Reads sysfs, the device folder, the udev database, /proc and
// the group database; opens no serial device.
#pragma once

#include <string>
#include <vector>

#include "com_map.h"

namespace romlift::ports {

enum class Level { Ok, Warning, Problem };
// "OK", "WARNING", "PROBLEM"
const char* LevelName(Level level);

struct Finding {
    Level level = Level::Ok;
    // What was looked at, a stable word for scripts: "access", "device", "com-map", "latency",
    // "by-id", "brltty", "modemmanager", "holder".
    std::string check;
    std::string device;  // the device it is about, "" for the machine as a whole
    std::string text;    // one line
    std::string fix;     // a command or udev rule to paste, "" when nothing is to be done
};

// Every check, in this order: access for this user, the serial devices present (driver, USB ids,
// COM number, FTDI latency timer), adapters that share a by-id name, brltty, ModemManager, other
// programs holding a port. Looking at the ports gives new adapters their COM numbers, as
// romlift-cli ports does.
std::vector<Finding> Examine(ComMap& map);

}  // namespace romlift::ports
