#include "listings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "device_access.h"
#include "models.h"
#include "reporter.h"

namespace romlift::cli {

namespace fs = std::filesystem;
using ports::AccessFacts;
using ports::GatherAccessFacts;

void PrintModels(std::FILE* out) {
    std::fprintf(out, "%-4s %-18s %-7s %s\n", "row", "display name", "prefix", "type code");
    int row = 0;
    for (const UnitModel& m : Models()) {
        std::fprintf(out, "%-4d %-18.*s %-7.*s %u\n", row++, static_cast<int>(m.displayName.size()),
                     m.displayName.data(), static_cast<int>(m.prefix.size()), m.prefix.data(),
                     m.typeCode);
    }
}

namespace {

// "no access for this user (group dialout)" when this user may not open `device` for reading
// and writing; "" when it may, or when that cannot be told.
std::string AccessNote(const std::string& device) {
    if (::faccessat(AT_FDCWD, device.c_str(), R_OK | W_OK, AT_EACCESS) == 0 || errno != EACCES) {
        return "";
    }
    const AccessFacts facts = GatherAccessFacts(device);
    if (!facts.known) {
        return "no access for this user";
    }
    return "no access for this user (group " + facts.group + ")";
}

Json OrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

}  // namespace

void PrintPorts(std::FILE* out, ports::ComMap& map, bool json) {
    map.Refresh();
    for (const std::string& problem : map.Problems()) {
        if (json) {
            WriteJsonLine(out, Json{{"event", "problem"}, {"text", problem}});
        } else {
            std::fprintf(stderr, "romlift-cli: %s\n", problem.c_str());
        }
    }
    if (!json) {
        std::fprintf(out, "Serial devices present:\n");
        if (map.Devices().empty()) {
            std::fprintf(out, "  (none found)\n");
        }
    }
    for (const ports::SerialDevice& d : map.Devices()) {
        const int com = map.ComOf(d);
        const std::string note = AccessNote(d.path);
        const std::string usb = d.adapter ? d.id.vendor + ":" + d.id.product : "";
        if (json) {
            WriteJsonLine(out,
                          Json{{"event", "device"},
                               {"device", d.path},
                               {"com", com > 0 ? Json("COM" + std::to_string(com)) : Json(nullptr)},
                               {"driver", OrNull(d.driver)},
                               {"usb", OrNull(usb)},
                               {"manufacturer", OrNull(d.manufacturer)},
                               {"product", OrNull(d.product)},
                               {"serial", OrNull(d.id.serial)},
                               {"usb_port", OrNull(d.id.usbPort)},
                               {"by_id", OrNull(d.byId)},
                               {"access", note.empty()}});
            continue;
        }
        std::string line = "  " + d.path + "  " + (com > 0 ? "COM" + std::to_string(com) : "-") +
                           "  " + (d.driver.empty() ? "?" : d.driver);
        if (d.adapter) {
            line += "  " + usb + "  " + d.Description();
        } else if (d.uart) {
            line += "  UART";
        }
        std::fprintf(out, "%s\n", line.c_str());
        if (!d.byId.empty()) {
            std::fprintf(out, "      %s\n", d.byId.c_str());
        }
        if (!note.empty()) {
            std::fprintf(out, "      %s\n", note.c_str());
        }
    }
    if (!json) {
        std::fprintf(out, "COM port mapping:\n");
    }
    for (int n = 1; n <= 4; ++n) {
        const ports::ComResolution r = map.Resolve(n);
        std::error_code ec;
        const bool present = !r.device.empty() && fs::exists(r.device, ec);
        const std::string access = r.device.empty() ? ""
                                   : present        ? AccessNote(r.device)
                                                    : "not present";
        if (json) {
            WriteJsonLine(
                out, Json{{"event", "com"},
                          {"com", "COM" + std::to_string(n)},
                          {"device", OrNull(r.device)},
                          {"source", ports::ComSourceName(r.source)},
                          {"detail", OrNull(r.detail)},
                          {"access", r.device.empty() ? Json(nullptr) : Json(access.empty())}});
            continue;
        }
        const std::string note = access.empty() ? "" : ", " + access;
        std::fprintf(out, "  COM%d  %s  (%s: %s%s)\n", n, r.device.empty() ? "-" : r.device.c_str(),
                     ports::ComSourceName(r.source), r.detail.c_str(), note.c_str());
    }
    std::fflush(out);
}

int RunPorts(const Options& o) {
    ports::ComMap map(ports::PortsPaths::ForThisProcess());
    std::string why;
    switch (o.portsAction) {
        case Options::PortsAction::List:
            PrintPorts(stdout, map, o.json);
            return 0;
        case Options::PortsAction::Assign:
            if (!map.Assign(o.comNumber, o.assignDevice, o.force, &why)) {
                std::fprintf(stderr, "romlift-cli: %s\n", why.c_str());
                return 2;
            }
            std::printf("%s\n", map.Resolve(o.comNumber).Describe().c_str());
            return 0;
        case Options::PortsAction::Forget:
            if (!map.Forget(o.comNumber, &why)) {
                std::fprintf(stderr, "romlift-cli: %s\n", why.c_str());
                return 2;
            }
            std::printf("COM%d freed in %s\n", o.comNumber, map.Paths().userMap.c_str());
            return 0;
    }
    return 2;
}

}  // namespace romlift::cli
