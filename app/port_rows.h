// The serial ports present as the main window lists them: each device with its COM number, the
// adapter behind it, its driver, and whether this user can have it now. Opens no device.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "com_map.h"

namespace romlift {

struct PortRow {
    int com = 0;  // 0: the device has no COM number
    ports::ComSource source = ports::ComSource::None;
    std::string device;  // /dev/ttyUSB0
    // "0403:6001 FT232R USB UART, serial A50285BI", "UART", or "set by ROMLIFT_COM1"
    std::string adapter;
    std::string driver;  // ftdi_sio, 8250; "" when sysfs does not say
    // "free", "held by minicom (PID 4242)", or why this user may not open it, with the fix
    std::string state;
    bool numberable = false;  // the map file can give it a number (a device sysfs lists)

    bool operator==(const PortRow&) const = default;
};

// The devices `map` has looked at (after its Refresh), in name order, then the COM numbers the
// environment sets to a device sysfs does not list (a virtual unit's pseudo-terminal). Holders
// other than `self` are found in `procRoot`.
std::vector<PortRow> ListPortRows(const ports::ComMap& map, pid_t self,
                                  const std::string& procRoot = "/proc");

}  // namespace romlift
