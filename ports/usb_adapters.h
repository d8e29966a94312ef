// USB serial adapters seen as USB devices, whether or not a driver made a tty for them: an
// adapter that brltty has claimed, or whose driver is missing, has no /dev/ttyUSB* and shows up
// nowhere else. Read from <sys>/bus/usb/devices; nothing is opened.
#pragma once

#include <string>
#include <vector>

#include "ports_paths.h"
#include "serial_devices.h"

namespace romlift::ports {

struct UsbSerialAdapter {
    std::string usbPort;  // the USB port path it sits on (1-2.3)
    std::string vendor;   // 1a86
    std::string product;  // 7523
    std::string chip;     // what it is known as: "QinHeng CH340", "CDC ACM modem or board"
    std::string driver;   // the kernel driver that makes its tty: ch341, cdc_acm, ...
    // What holds its serial interface now: its driver, "usbfs" when a program claimed it
    // through usbfs (brltty does), "" when nothing does.
    std::string interfaceDriver;
    std::vector<std::string> ttys;  // its ttys among `present` (ttyUSB0); empty when none

    // "1a86:7523 (QinHeng CH340) on USB port 1-2"
    std::string Describe() const;
};

// The USB devices that are serial adapters: a well-known USB serial chip by vendor:product
// (CH340/CH341, PL2303, CP210x, FTDI), or a device with a CDC ACM interface. `present` is what
// ListSerialDevices() found, to tell which ones have a tty.
std::vector<UsbSerialAdapter> ListUsbSerialAdapters(const PortsPaths& paths,
                                                    const std::vector<SerialDevice>& present);

}  // namespace romlift::ports
