// romlift-cli's own line of advice when a port would not open or went away mid-download: the
// status line keeps the unit's texts ("Can not open Port COM3"), this says what to do about it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "device_holders.h"
#include "port_fault.h"

namespace romlift::advice {

struct PortAdvice {
    // "permission", "absent", "no-hardware", "not-terminal", "busy", "settings", "open",
    // "hung-up", "no-number" (COMn names no device): a stable word for scripts.
    std::string kind;
    std::string device;                  // the path that was opened
    int err = 0;                         // errno behind it
    std::string text;                    // one line, without the "romlift-cli: " prefix
    std::vector<ports::Holder> holders;  // for "busy", the programs seen holding the device
};

// What to tell the user about `fault` on the port named `portLabel` ("COM3" or the device path).
// Nothing when there is no fault. Looks at the device (stat, the group database, /proc) but
// never opens it. A port that names no device, or a USB serial path that is not there, gets
// brltty named when it has claimed an adapter (sysfs of this process's PortsPaths).
std::optional<PortAdvice> AdviseOnFault(const PortFault& fault, const std::string& portLabel);

}  // namespace romlift::advice
