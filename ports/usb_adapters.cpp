#include "usb_adapters.h"

#include <algorithm>
#include <filesystem>

namespace romlift::ports {
namespace {

namespace fs = std::filesystem;

struct KnownChip {
    const char* vendor;
    const char* product;
    const char* chip;
    const char* driver;
};

// vendor  product  what it is                 its driver
constexpr KnownChip kKnownChips[] = {
    {"1a86", "7523", "QinHeng CH340", "ch341"},
    {"1a86", "5523", "QinHeng CH341", "ch341"},
    {"067b", "2303", "Prolific PL2303", "pl2303"},
    {"067b", "23a3", "Prolific PL2303GC", "pl2303"},
    {"10c4", "ea60", "Silicon Labs CP210x", "cp210x"},
    {"10c4", "ea70", "Silicon Labs CP2105", "cp210x"},
    {"0403", "6001", "FTDI FT232R", "ftdi_sio"},
    {"0403", "6010", "FTDI FT2232", "ftdi_sio"},
    {"0403", "6011", "FTDI FT4232", "ftdi_sio"},
    {"0403", "6014", "FTDI FT232H", "ftdi_sio"},
    {"0403", "6015", "FTDI FT-X", "ftdi_sio"},
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace

std::string UsbSerialAdapter::Describe() const {
    return vendor + ":" + product + " (" + chip + ") on USB port " + usbPort;
}

std::vector<UsbSerialAdapter> ListUsbSerialAdapters(const PortsPaths& paths,
                                                    const std::vector<SerialDevice>& present) {
    std::vector<UsbSerialAdapter> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(paths.sys / "bus" / "usb" / "devices", ec)) {
        const fs::path& usb = entry.path();
        const std::string name = usb.filename().string();
        // Interfaces (1-2:1.0) sit beside the devices; root hubs (usb1) are no adapters.
        if (name.find(':') != std::string::npos || name.rfind("usb", 0) == 0) {
            continue;
        }
        UsbSerialAdapter a;
        a.usbPort = name;
        a.vendor = Lower(ReadAttribute(usb / "idVendor"));
        a.product = Lower(ReadAttribute(usb / "idProduct"));
        for (const KnownChip& k : kKnownChips) {
            if (a.vendor == k.vendor && a.product == k.product) {
                a.chip = k.chip;
                a.driver = k.driver;
            }
        }
        // The interface that carries the line: a CDC ACM one, or the first of a known chip.
        std::vector<fs::path> interfaces;
        std::error_code iec;
        for (const auto& sub : fs::directory_iterator(usb, iec)) {
            if (sub.path().filename().string().rfind(name + ":", 0) == 0) {
                interfaces.push_back(sub.path());
            }
        }
        std::sort(interfaces.begin(), interfaces.end());
        fs::path line;
        for (const fs::path& intf : interfaces) {
            if (ReadAttribute(intf / "bInterfaceClass") == "02" &&
                ReadAttribute(intf / "bInterfaceSubClass") == "02") {
                line = intf;
                if (a.chip.empty()) {
                    a.chip = "CDC ACM modem or board";
                    a.driver = "cdc_acm";
                }
                break;
            }
        }
        if (a.chip.empty()) {
            continue;
        }
        if (line.empty() && !interfaces.empty()) {
            line = interfaces.front();
        }
        for (const fs::path& intf : interfaces) {
            std::error_code lec;
            const std::string driver = fs::read_symlink(intf / "driver", lec).filename().string();
            // A program holding any interface through usbfs keeps the serial driver off it.
            if (driver == "usbfs") {
                a.interfaceDriver = driver;
                break;
            }
            if (intf == line) {
                a.interfaceDriver = driver;
            }
        }
        for (const SerialDevice& d : present) {
            if (d.adapter && d.id.usbPort == a.usbPort) {
                a.ttys.push_back(d.name);
            }
        }
        found.push_back(std::move(a));
    }
    std::sort(found.begin(), found.end(), [](const UsbSerialAdapter& x, const UsbSerialAdapter& y) {
        return x.usbPort < y.usbPort;
    });
    return found;
}

}  // namespace romlift::ports
