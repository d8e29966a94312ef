#include "serial_devices.h"

#include <algorithm>
#include <fstream>
#include <system_error>
#include <tuple>

namespace romlift::ports {
namespace fs = std::filesystem;
namespace {

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// The USB device above a tty's device: the first folder upwards with idVendor and idProduct.
fs::path UsbDeviceAbove(const fs::path& device) {
    std::error_code ec;
    fs::path p = fs::canonical(device, ec);
    if (ec) {
        return {};
    }
    for (; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        if (fs::exists(p / "idVendor", ec) && fs::exists(p / "idProduct", ec)) {
            return p;
        }
    }
    return {};
}

// by-id links point at ../../ttyUSB0; the link whose target names the device is its stable name.
std::string ByIdName(const PortsPaths& paths, const std::string& name) {
    std::error_code ec;
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(paths.dev / "serial" / "by-id", ec)) {
        std::error_code lec;
        const fs::path target = fs::read_symlink(e.path(), lec);
        if (!lec && target.filename() == name) {
            found.push_back(e.path().string());
        }
    }
    std::sort(found.begin(), found.end());
    return found.empty() ? "" : found.front();
}

}  // namespace

std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

std::string AdapterId::Text() const {
    const std::string ids = vendor + ":" + product;
    return serial.empty() ? ids + " port " + usbPort : ids + " serial " + serial;
}

bool AdapterId::Parse(const std::string& text, AdapterId* id) {
    const auto isHex4 = [](const std::string& s) {
        return s.size() == 4 && std::all_of(s.begin(), s.end(), [](char c) {
                   return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                          (c >= 'A' && c <= 'F');
               });
    };
    if (text.size() < 10 || text[4] != ':' || text[9] != ' ') {
        return false;
    }
    AdapterId out;
    out.vendor = text.substr(0, 4);
    out.product = text.substr(5, 4);
    if (!isHex4(out.vendor) || !isHex4(out.product)) {
        return false;
    }
    std::transform(out.vendor.begin(), out.vendor.end(), out.vendor.begin(), ::tolower);
    std::transform(out.product.begin(), out.product.end(), out.product.begin(), ::tolower);
    const std::string rest = text.substr(10);
    // A serial number is the device's own string and may hold blanks: it runs to the line's end.
    if (StartsWith(rest, "serial ") && rest.size() > 7) {
        out.serial = rest.substr(7);
    } else if (StartsWith(rest, "port ") && rest.size() > 5 &&
               rest.find(' ', 5) == std::string::npos) {
        out.usbPort = rest.substr(5);
    } else {
        return false;
    }
    *id = out;
    return true;
}

bool AdapterId::operator==(const AdapterId& o) const {
    if (vendor != o.vendor || product != o.product || serial != o.serial) {
        return false;
    }
    return !serial.empty() || usbPort == o.usbPort;
}

std::string SerialDevice::Description() const {
    if (!adapter) {
        return uart ? "UART" : driver;
    }
    std::string text = manufacturer;
    if (!product.empty()) {
        text += (text.empty() ? "" : " ") + product;
    }
    if (text.empty()) {
        text = "USB adapter " + id.vendor + ":" + id.product;
    }
    return text + (id.serial.empty() ? ", USB port " + id.usbPort : ", serial " + id.serial);
}

bool HasUart(const PortsPaths& paths, int index) {
    const fs::path dir = paths.sys / "class" / "tty" / ("ttyS" + std::to_string(index));
    std::error_code ec;
    if (!fs::exists(dir / "device", ec)) {
        return false;
    }
    // The 8250 driver registers ttyS0..ttyS31 whether or not a UART answers; type 0 is none.
    const std::string type = ReadAttribute(dir / "type");
    return !type.empty() && type != "0";
}

std::vector<SerialDevice> ListSerialDevices(const PortsPaths& paths) {
    std::vector<SerialDevice> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(paths.sys / "class" / "tty", ec)) {
        const fs::path& dir = entry.path();
        std::error_code dec;
        if (!fs::exists(dir / "device", dec)) {
            continue;  // virtual terminals, ptys: no hardware behind them
        }
        SerialDevice d;
        d.name = dir.filename().string();
        d.path = (paths.dev / d.name).string();
        d.driver = fs::read_symlink(dir / "device" / "driver", dec).filename().string();
        if (StartsWith(d.name, "ttyS")) {
            char* end = nullptr;
            const long index = std::strtol(d.name.c_str() + 4, &end, 10);
            if (*end != '\0' || !HasUart(paths, static_cast<int>(index))) {
                continue;
            }
            d.uart = true;
            d.driver =
                "8250";  // serial8250 or the PNP "serial" binding: the 8250 driver either way
        } else if (StartsWith(d.name, "ttyUSB") || StartsWith(d.name, "ttyACM")) {
            const fs::path usb = UsbDeviceAbove(dir / "device");
            if (!usb.empty()) {
                d.adapter = true;
                d.id.vendor = ReadAttribute(usb / "idVendor");
                d.id.product = ReadAttribute(usb / "idProduct");
                d.id.serial = ReadAttribute(usb / "serial");
                d.id.usbPort = usb.filename().string();
                d.manufacturer = ReadAttribute(usb / "manufacturer");
                d.product = ReadAttribute(usb / "product");
            }
        }
        d.byId = ByIdName(paths, d.name);
        found.push_back(std::move(d));
    }
    // ttyUSB10 after ttyUSB9: the number, not the text, orders the same driver's ports.
    const auto key = [](const SerialDevice& d) {
        const size_t digits = d.name.find_first_of("0123456789");
        const std::string stem = d.name.substr(0, digits);
        const long n =
            digits == std::string::npos ? -1 : std::strtol(d.name.c_str() + digits, nullptr, 10);
        return std::make_tuple(stem, n, d.name);
    };
    std::sort(found.begin(), found.end(),
              [&](const SerialDevice& a, const SerialDevice& b) { return key(a) < key(b); });
    return found;
}

}  // namespace romlift::ports
