// The traps around a serial port on a Linux desktop that the port's own errors do not explain:
// brltty claiming a USB adapter so that no tty appears, and ModemManager probing a new ttyACM
// port with AT commands. Plain functions for romlift-cli's download and doctor and for the window
// program's advice. They read sysfs, the udev database and /proc; nothing is opened.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ports_paths.h"
#include "usb_adapters.h"

namespace romlift::ports {

// The properties udev keeps for the character device numbered `number` ("166:0"), from
// <udevData>/c166:0; empty when it has none or the file does not read.
std::map<std::string, std::string> UdevProperties(const PortsPaths& paths,
                                                  const std::string& number);

// Whether udev marks the tty `name` (ttyACM0), or the USB device it belongs to, with
// ID_MM_DEVICE_IGNORE=1, which tells ModemManager to leave it alone.
bool ModemManagerIgnores(const PortsPaths& paths, const std::string& name);

// The line that tells ModemManager to leave the adapter vendor:product alone (every ttyACM port
// when they are empty), and the commands that put it in place.
std::string ModemManagerRule(const std::string& vendor, const std::string& product);
std::string ModemManagerFix(const std::string& vendor, const std::string& product);

// When `device` (a path, links followed) is a ttyACM port that a running ModemManager has not
// been told to leave alone: one line saying so, naming the port `shownAs`, with the fix. Nothing
// otherwise, and nothing when the device cannot be told.
std::optional<std::string> ModemManagerWarning(const PortsPaths& paths, const std::string& device,
                                               const std::string& shownAs);

// The commands that keep brltty off serial adapters.
extern const char* const kBrlttyFix;

// Adapters that have no tty because brltty holds them: brltty runs (its PIDs in `brltty`) and the
// adapter has no tty, or its interface is held through usbfs.
struct BrlttyClaim {
    std::vector<pid_t> brltty;
    std::vector<UsbSerialAdapter> adapters;
};
BrlttyClaim FindBrlttyClaims(const PortsPaths& paths, const std::vector<SerialDevice>& present);

// For a port that names no device: when brltty has claimed an adapter, one line saying which and
// how to stop it. Nothing otherwise.
std::optional<std::string> BrlttyAdvice(const PortsPaths& paths);

}  // namespace romlift::ports
