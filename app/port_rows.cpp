#include "port_rows.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "device_access.h"
#include "device_holders.h"

namespace romlift {
namespace {

// The numbers the Download dialog offers.
constexpr int kDialogPorts = 4;

std::string AdapterText(const ports::SerialDevice& d) {
    if (!d.adapter) {
        return d.Description();
    }
    std::string text = d.id.vendor + ":" + d.id.product;
    if (!d.product.empty()) {
        text += " " + d.product;
    }
    text += d.id.serial.empty() ? ", USB port " + d.id.usbPort : ", serial " + d.id.serial;
    return text;
}

std::string StateOf(const std::string& device, pid_t self, const std::string& procRoot) {
    const std::vector<ports::Holder> holders = ports::FindHolders(device, self, procRoot);
    if (!holders.empty()) {
        std::string who;
        for (const ports::Holder& h : holders) {
            who += (who.empty() ? "held by " : ", ") +
                   (h.program.empty() ? std::string("a program") : h.program) + " (PID " +
                   std::to_string(h.pid) + ")";
        }
        return who;
    }
    if (::faccessat(AT_FDCWD, device.c_str(), R_OK | W_OK, AT_EACCESS) == 0) {
        return "free";
    }
    if (errno == EACCES) {
        return ports::PermissionText(ports::GatherAccessFacts(device), device);
    }
    return std::string("cannot be looked at: ") + std::strerror(errno);
}

}  // namespace

std::vector<PortRow> ListPortRows(const ports::ComMap& map, pid_t self,
                                  const std::string& procRoot) {
    std::vector<PortRow> rows;
    for (const ports::SerialDevice& d : map.Devices()) {
        PortRow row;
        row.com = map.ComOf(d);
        row.source = row.com > 0 ? map.Resolve(row.com).source : ports::ComSource::None;
        row.device = d.path;
        row.adapter = AdapterText(d);
        row.driver = d.driver;
        row.state = StateOf(d.path, self, procRoot);
        row.numberable = true;
        rows.push_back(row);
    }
    for (int com = 1; com <= kDialogPorts; ++com) {
        const ports::ComResolution r = map.Resolve(com);
        bool listed = false;
        for (const PortRow& row : rows) {
            listed = listed || row.device == r.device;
        }
        if (r.source != ports::ComSource::Environment || listed) {
            continue;
        }
        PortRow row;
        row.com = com;
        row.source = r.source;
        row.device = r.device;
        row.adapter = "set by ROMLIFT_COM" + std::to_string(com);
        row.state = StateOf(r.device, self, procRoot);
        rows.push_back(row);
    }
    return rows;
}

}  // namespace romlift
