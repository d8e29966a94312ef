// Where the port code looks: sysfs, the device folder and the two map files. Tests point these at
// a made-up tree; the programs take them from the environment.
#pragma once

#include <filesystem>

namespace romlift::ports {

struct PortsPaths {
    std::filesystem::path sys = "/sys";  // sysfs: <sys>/class/tty/<name>/device, ...
    std::filesystem::path dev = "/dev";  // device nodes: <dev>/<name>, <dev>/serial/by-id
    // udev's database: one file per device, c<major>:<minor> for a character device, holding
    // the properties udev rules set (E:ID_MM_DEVICE_IGNORE=1).
    std::filesystem::path udevData = "/run/udev/data";
    // The machine's own assignments, read first and never written.
    std::filesystem::path machineMap = "/etc/romlift/ports.conf";
    // This user's assignments, kept up to date as adapters are first seen. Empty: none kept.
    std::filesystem::path userMap;

    // The paths this process uses: $ROMLIFT_SYSFS, $ROMLIFT_DEV and $ROMLIFT_UDEV_DATA when set
    // (a made-up tree for tests), else /sys, /dev and /run/udev/data; the user's map in
    // $XDG_CONFIG_HOME/romlift (else $HOME/.config/romlift).
    static PortsPaths ForThisProcess();
};

}  // namespace romlift::ports
