// The serial devices present, as sysfs describes them. Nothing here opens a device: reading a
// tty node's attributes is enough to tell a UART from an empty ttyS slot and one USB adapter
// from another.
#pragma once

#include <string>
#include <vector>

#include "ports_paths.h"

namespace romlift::ports {

// What identifies a USB serial adapter wherever the kernel puts it: vendor and product id and
// its serial number; an adapter without a serial number is known by the USB port it sits on.
struct AdapterId {
    std::string vendor;   // 4 hex digits, as sysfs gives them (0403)
    std::string product;  // 4 hex digits (6001)
    std::string serial;   // "" when the adapter has none
    std::string usbPort;  // the USB port path (1-2.3); only part of the identity without serial

    // "0403:6001 serial A50285BI" or "0403:6001 port 1-2.3": the map file's spelling.
    std::string Text() const;
    // Reads Text()'s spelling back; false when `text` is not one.
    static bool Parse(const std::string& text, AdapterId* id);
    bool operator==(const AdapterId& other) const;
};

struct SerialDevice {
    std::string name;          // ttyUSB0
    std::string path;          // /dev/ttyUSB0
    std::string driver;        // ftdi_sio, cp210x, ch341, pl2303, cdc_acm, 8250, ...
    bool uart = false;         // a ttyS node with a UART behind it
    bool adapter = false;      // a USB or ACM adapter (ttyUSB*, ttyACM*): it gets a COM number
    AdapterId id;              // for adapters
    std::string manufacturer;  // the USB device's own strings, "" when it has none
    std::string product;
    std::string byId;  // the stable /dev/serial/by-id/... name udev made, "" when none

    // "FTDI FT232R USB UART, serial A50285BI", "USB port 1-2" without a serial number, "UART"
    // for a ttyS: what a person recognises the device by.
    std::string Description() const;
};

// Every tty under <sys>/class/tty with hardware behind it, in name order; ttyS slots the kernel
// registered without finding a UART are left out. Unreadable attributes are left empty.
std::vector<SerialDevice> ListSerialDevices(const PortsPaths& paths);

// Whether <sys>/class/tty/ttyS<index> has a UART behind it (its type is not 0).
bool HasUart(const PortsPaths& paths, int index);

// The first line of a sysfs attribute without its line end, "" when it cannot be read.
std::string ReadAttribute(const std::filesystem::path& file);

}  // namespace romlift::ports
