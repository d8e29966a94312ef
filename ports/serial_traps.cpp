#include "serial_traps.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

#include "system_services.h"

namespace romlift::ports {
namespace {

namespace fs = std::filesystem;

// The tty under <sys>/class/tty whose device number is `rdev`, "" when none is.
std::string TtyNamed(const PortsPaths& paths, dev_t rdev) {
    const std::string number = std::to_string(::major(rdev)) + ":" + std::to_string(::minor(rdev));
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(paths.sys / "class" / "tty", ec)) {
        if (ReadAttribute(entry.path() / "dev") == number) {
            return entry.path().filename().string();
        }
    }
    return "";
}

// The USB device folder above the tty `name`, when it has one.
fs::path UsbDeviceOf(const PortsPaths& paths, const std::string& name) {
    std::error_code ec;
    fs::path p = fs::canonical(paths.sys / "class" / "tty" / name / "device", ec);
    for (; !ec && !p.empty() && p != p.root_path(); p = p.parent_path()) {
        if (fs::exists(p / "idVendor", ec) && fs::exists(p / "idProduct", ec)) {
            return p;
        }
    }
    return {};
}

}  // namespace

const char* const kBrlttyFix =
    "sudo systemctl stop brltty-udev.service brltty.service && sudo systemctl mask "
    "brltty-udev.service brltty.service (without a braille display: sudo apt remove brltty), "
    "then unplug the adapter and plug it in again";

std::map<std::string, std::string> UdevProperties(const PortsPaths& paths,
                                                  const std::string& number) {
    std::map<std::string, std::string> properties;
    if (number.empty()) {
        return properties;
    }
    std::ifstream in(paths.udevData / ("c" + number));
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (line.rfind("E:", 0) == 0 && eq != std::string::npos) {
            properties[line.substr(2, eq - 2)] = line.substr(eq + 1);
        }
    }
    return properties;
}

bool ModemManagerIgnores(const PortsPaths& paths, const std::string& name) {
    // Set on the port or on the USB device it belongs to: ModemManager reads both.
    const fs::path usb = UsbDeviceOf(paths, name);
    for (const std::string& number : {ReadAttribute(paths.sys / "class" / "tty" / name / "dev"),
                                      usb.empty() ? std::string() : ReadAttribute(usb / "dev")}) {
        const auto properties = UdevProperties(paths, number);
        const auto it = properties.find("ID_MM_DEVICE_IGNORE");
        if (it != properties.end() && it->second == "1") {
            return true;
        }
    }
    return false;
}

std::string ModemManagerRule(const std::string& vendor, const std::string& product) {
    if (vendor.empty() || product.empty()) {
        return "KERNEL==\"ttyACM[0-9]*\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
    }
    return "ATTRS{idVendor}==\"" + vendor + "\", ATTRS{idProduct}==\"" + product +
           "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
}

std::string ModemManagerFix(const std::string& vendor, const std::string& product) {
    return "echo '" + ModemManagerRule(vendor, product) +
           "' | sudo tee -a /etc/udev/rules.d/60-romlift.rules && sudo udevadm control "
           "--reload && sudo udevadm trigger, then unplug the adapter and plug it in again";
}

std::optional<std::string> ModemManagerWarning(const PortsPaths& paths, const std::string& device,
                                               const std::string& shownAs) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        return std::nullopt;
    }
    const std::string name = TtyNamed(paths, st.st_rdev);
    if (name.rfind("ttyACM", 0) != 0 || ModemManagerIgnores(paths, name)) {
        return std::nullopt;
    }
    if (ProcessesNamed("ModemManager").empty()) {
        return std::nullopt;
    }
    const fs::path usb = UsbDeviceOf(paths, name);
    // Without a USB device to name (rare for ttyACM), the rule covers every ACM port.
    const std::string vendor = usb.empty() ? "" : ReadAttribute(usb / "idVendor");
    const std::string product = usb.empty() ? "" : ReadAttribute(usb / "idProduct");
    return shownAs +
           ": ModemManager is running and may send AT commands to this ttyACM port, "
           "into the download; to keep it away: " +
           ModemManagerFix(vendor, product);
}

BrlttyClaim FindBrlttyClaims(const PortsPaths& paths, const std::vector<SerialDevice>& present) {
    BrlttyClaim claim;
    claim.brltty = ProcessesNamed("brltty");
    for (const UsbSerialAdapter& a : ListUsbSerialAdapters(paths, present)) {
        if (!a.ttys.empty()) {
            continue;
        }
        if (!claim.brltty.empty() || a.interfaceDriver == "usbfs") {
            claim.adapters.push_back(a);
        }
    }
    return claim;
}

std::optional<std::string> BrlttyAdvice(const PortsPaths& paths) {
    const BrlttyClaim claim = FindBrlttyClaims(paths, ListSerialDevices(paths));
    if (claim.adapters.empty() || claim.brltty.empty()) {
        return std::nullopt;
    }
    return "brltty (a braille display service, PID " + std::to_string(claim.brltty.front()) +
           ") has claimed USB adapter " + claim.adapters.front().Describe() +
           ", so no serial device was made for it: " + kBrlttyFix;
}

}  // namespace romlift::ports
