#include "port_advice.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "device_access.h"
#include "serial_traps.h"

namespace romlift::advice {
namespace {

using ports::BrlttyAdvice;
using ports::BusyText;
using ports::FindHolders;
using ports::GatherAccessFacts;
using ports::PermissionText;
using ports::PortsPaths;

const std::string kSeePorts = "romlift-cli ports lists the serial devices present";

}  // namespace

std::optional<PortAdvice> AdviseOnFault(const PortFault& fault, const std::string& portLabel) {
    if (fault.kind == PortFault::Kind::None) {
        return std::nullopt;
    }
    PortAdvice a;
    a.device = fault.device;
    a.err = fault.err;
    const std::string shown =
        portLabel == fault.device ? fault.device : fault.device + " (" + portLabel + ")";

    if (fault.kind == PortFault::Kind::NoDevice) {
        a.kind = "no-number";
        if (const auto brltty = BrlttyAdvice(PortsPaths::ForThisProcess())) {
            a.text = portLabel + ": " + fault.detail + "; " + *brltty;
            return a;
        }
        a.text = portLabel + ": " + fault.detail +
                 "; plug in the adapter (a new one gets the lowest free COM number) or give one "
                 "a number with romlift-cli ports assign " +
                 portLabel + " DEVICE; " + kSeePorts;
        return a;
    }
    if (fault.kind == PortFault::Kind::HungUp) {
        a.kind = "hung-up";
        a.text = shown +
                 " went away (hung up) during the download: check the cable and the USB adapter; "
                 "the unit may need the download again";
        return a;
    }
    using E = SerialLine::OpenError;
    const bool busy =
        fault.openError == E::Busy || (fault.openError == E::Open && fault.err == EBUSY);
    if (busy) {
        a.kind = "busy";
        a.holders = FindHolders(fault.device, ::getpid());
        a.text = BusyText(shown, a.holders);
    } else if (fault.openError == E::NotTerminal ||
               (fault.openError == E::Open && fault.err == EISDIR)) {
        a.kind = "not-terminal";
        a.text = shown +
                 " is not a serial device (not a terminal); name the serial port's device, "
                 "e.g. /dev/ttyUSB0; " +
                 kSeePorts;
    } else if (fault.openError == E::Settings) {
        a.kind = "settings";
        a.text = shown + " would not take the line settings (9600 baud, 8 data bits, raw): " +
                 std::strerror(fault.err);
    } else if (fault.err == EACCES || fault.err == EPERM) {
        a.kind = "permission";
        a.text = PermissionText(GatherAccessFacts(fault.device), shown);
    } else if (fault.err == ENOENT) {
        a.kind = "absent";
        const std::string name = fault.device.substr(fault.device.rfind('/') + 1);
        const bool usbSerial = name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
        const auto brltty = usbSerial ? BrlttyAdvice(PortsPaths::ForThisProcess()) : std::nullopt;
        a.text = "no such device " + shown + ": " +
                 (brltty ? *brltty : "plug in the adapter or choose another port; " + kSeePorts);
    } else if (fault.openError == E::NoUart || fault.err == ENXIO || fault.err == ENODEV ||
               fault.err == EIO) {
        // A ttyS node the kernel made without finding a UART, or an adapter on its way out.
        a.kind = "no-hardware";
        a.text = "no serial port answers at " + shown +
                 ": the device node is there but no hardware is behind it; " + kSeePorts;
    } else {
        a.kind = "open";
        a.text = "cannot open " + shown + ": " + std::strerror(fault.err);
    }
    return a;
}

}  // namespace romlift::advice
