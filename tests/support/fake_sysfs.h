// A made-up sysfs tree with the shapes the kernel gives serial devices: ttyS slots with and
// without a UART, USB serial adapters (ttyUSB under a usb-serial port, ttyACM under an
// interface), each below its USB device's ids and strings and listed in bus/usb/devices; an
// adapter may also have no tty at all (held by brltty, or no driver). Point PortsPaths::sys (or
// $ROMLIFT_SYSFS) at Root().
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace romlift::testing {

struct FakeAdapter {
    std::string name = "ttyUSB0";  // ttyUSB* or ttyACM*
    std::string vendor = "0403";
    std::string product = "6001";
    std::string serial = "A50285BI";  // "" for an adapter without one
    std::string usbPort = "1-2";      // the USB port path it is plugged into
    std::string manufacturer = "FTDI";
    std::string productName = "FT232R USB UART";
    std::string driver = "ftdi_sio";
    // false: the USB device and its interface only, no tty (what brltty leaves, or no driver).
    bool tty = true;
    // What holds the interface: "usbfs" when a program claimed it; "" for `driver` (none
    // without a tty).
    std::string interfaceDriver = "";
    std::string latencyTimer = "";  // an FTDI port's latency_timer attribute; none when ""
    std::string devNumber = "";     // the tty's major:minor; "" for ttyUSBn 188:n, ttyACMn 166:n
};

class FakeSysfs {
  public:
    explicit FakeSysfs(std::filesystem::path root) : root_(std::move(root)) {
        std::filesystem::create_directories(root_ / "class" / "tty");
        // A virtual terminal: a tty with no device behind it, never listed.
        std::filesystem::create_directories(root_ / "class" / "tty" / "tty1");
    }
    const std::filesystem::path& Root() const { return root_; }

    // ttyS<index>, with a UART behind it (type 4, a 16550A) or an empty slot (type 0).
    void AddTtyS(int index, bool uart) {
        const std::string name = "ttyS" + std::to_string(index);
        const auto dev = root_ / "devices" / "platform" / "serial8250" / "tty" / name;
        std::filesystem::create_directories(dev);
        Link(root_ / "bus" / "platform" / "drivers" / "serial8250", dev / "driver");
        const auto cls = root_ / "class" / "tty" / name;
        std::filesystem::create_directories(cls);
        Link(dev, cls / "device");
        Put(cls / "type", uart ? "4" : "0");
    }

    void Plug(const FakeAdapter& a) {
        const auto usb = root_ / "devices" / "pci0000:00" / "usb1" / a.usbPort;
        std::filesystem::create_directories(usb);
        Link(usb, root_ / "bus" / "usb" / "devices" / a.usbPort);
        Put(usb / "idVendor", a.vendor);
        Put(usb / "idProduct", a.product);
        if (!a.serial.empty()) {
            Put(usb / "serial", a.serial);
        }
        Put(usb / "manufacturer", a.manufacturer);
        Put(usb / "product", a.productName);
        const auto intf = usb / (a.usbPort + ":1.0");
        // ttyUSB sits under a usb-serial port of the interface; ttyACM on the interface itself.
        const bool acm = a.name.rfind("ttyACM", 0) == 0;
        std::filesystem::create_directories(intf);
        Put(intf / "bInterfaceClass", acm ? "02" : "ff");
        Put(intf / "bInterfaceSubClass", acm ? "02" : "00");
        const std::string holder =
            a.interfaceDriver.empty() && a.tty ? a.driver : a.interfaceDriver;
        if (!holder.empty()) {
            Link(root_ / "bus" / "usb" / "drivers" / holder, intf / "driver");
        }
        if (!a.tty) {
            return;
        }
        const auto dev = acm ? intf : intf / a.name;
        std::filesystem::create_directories(dev);
        if (!acm) {
            Link(root_ / "bus" / "usb-serial" / "drivers" / a.driver, dev / "driver");
        }
        if (!a.latencyTimer.empty()) {
            Put(dev / "latency_timer", a.latencyTimer);
        }
        const auto cls = root_ / "class" / "tty" / a.name;
        std::filesystem::create_directories(cls);
        Link(dev, cls / "device");
        const size_t digits = a.name.find_first_of("0123456789");
        Put(cls / "dev",
            !a.devNumber.empty() ? a.devNumber : (acm ? "166:" : "188:") + a.name.substr(digits));
    }

    // The adapter pulled: its tty and its USB device go.
    void Unplug(const FakeAdapter& a) {
        std::filesystem::remove_all(root_ / "class" / "tty" / a.name);
        std::filesystem::remove_all(root_ / "devices" / "pci0000:00" / "usb1" / a.usbPort);
        std::filesystem::remove(root_ / "bus" / "usb" / "devices" / a.usbPort);
    }

  private:
    static void Put(const std::filesystem::path& file, const std::string& text) {
        std::ofstream(file) << text << "\n";
    }
    static void Link(const std::filesystem::path& target, const std::filesystem::path& link) {
        std::filesystem::create_directories(target);
        std::filesystem::create_directories(link.parent_path());
        std::error_code ec;
        std::filesystem::remove(link, ec);
        std::filesystem::create_directory_symlink(target, link);
    }
    std::filesystem::path root_;
};

}  // namespace romlift::testing
