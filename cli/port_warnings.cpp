#include "port_warnings.h"

#include "com_map.h"
#include "serial_traps.h"

namespace romlift::cli {

void WarnBeforeSending(const std::vector<PortArg>& ports, const std::vector<std::string>& labels,
                       Reporter& reporter) {
    const ports::PortsPaths paths = ports::PortsPaths::ForThisProcess();
    for (size_t i = 0; i < ports.size(); ++i) {
        const std::string device =
            ports[i].comNumber > 0 ? ports::ResolveCom(ports[i].comNumber).device : ports[i].device;
        const std::string shown = device == labels[i] ? device : device + " (" + labels[i] + ")";
        if (const auto text = ports::ModemManagerWarning(paths, device, shown)) {
            Hint hint{"modem-manager", *text, Json::object()};
            hint.facts["device"] = device;
            reporter.Advise(labels[i], hint);
        }
    }
}

}  // namespace romlift::cli
