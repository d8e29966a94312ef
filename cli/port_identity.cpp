#include "port_identity.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "com_map.h"

namespace romlift::cli {
namespace {

struct Identity {
    bool device = false;  // a character or block device: known by its number
    dev_t number = 0;     // st_rdev of a device, st_dev of anything else
    ino_t inode = 0;
    bool operator==(const Identity&) const = default;
};

std::string DevicePath(const PortArg& port) {
    return port.comNumber > 0 ? ports::ResolveCom(port.comNumber).device : port.device;
}

// The controlling terminal's device number from /proc/self/stat (tty_nr, field 7), 0 when the
// process has none. The command name in field 2 may hold blanks and parentheses: count from the
// last ')'.
dev_t ControllingTerminal() {
    std::ifstream in("/proc/self/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), {});
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    long ppid = 0, pgrp = 0, session = 0;
    unsigned long ttyNr = 0;
    if (!(fields >> state >> ppid >> pgrp >> session >> ttyNr)) {
        return 0;
    }
    // Major in bits 15..8; minor in bits 31..20 and 7..0.
    return ::makedev((ttyNr >> 8) & 0xfff, (ttyNr & 0xff) | ((ttyNr >> 12) & 0xfff00));
}

}  // namespace

std::optional<std::string> OwnTerminal(const std::vector<PortArg>& ports) {
    struct Own {
        dev_t number;
        const char* what;
    };
    std::vector<Own> own{{::makedev(5, 0), "this program's controlling terminal"}};
    if (const dev_t ctty = ControllingTerminal(); ctty != 0) {
        own.push_back({ctty, "this program's controlling terminal"});
    }
    const char* const streams[] = {"this program's standard input",
                                   "this program's standard output",
                                   "this program's standard error"};
    for (int fd = 0; fd < 3; ++fd) {
        struct stat st {};
        // Only a terminal: /dev/null on a script's standard input is no one's keyboard.
        if (::isatty(fd) == 1 && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
            own.push_back({st.st_rdev, streams[fd]});
        }
    }
    for (const PortArg& port : ports) {
        struct stat st {};
        const std::string path = DevicePath(port);
        if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
            continue;
        }
        for (const Own& o : own) {
            if (st.st_rdev == o.number) {
                return "--port " + PortLabel(port) + " is " + o.what +
                       ": a download would take it over as a 9600-baud line; give the serial "
                       "port's device, e.g. /dev/ttyUSB0";
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string> SameDeviceTwice(const std::vector<PortArg>& ports) {
    std::vector<std::optional<Identity>> seen;
    std::vector<std::string> paths;
    for (const PortArg& port : ports) {
        const std::string path = DevicePath(port);
        struct stat st {};
        std::optional<Identity> id;
        if (!path.empty() && ::stat(path.c_str(), &st) == 0) {
            const bool device = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
            id = device ? Identity{true, st.st_rdev, 0} : Identity{false, st.st_dev, st.st_ino};
        }
        for (size_t i = 0; id && i < seen.size(); ++i) {
            if (seen[i] == id) {
                std::error_code ec;
                const std::filesystem::path real = std::filesystem::canonical(paths[i], ec);
                return "--port " + PortLabel(ports[i]) + " and --port " + PortLabel(port) +
                       " are the same device (" + (ec ? paths[i] : real.string()) +
                       "): give each unit's port once";
            }
        }
        seen.push_back(id);
        paths.push_back(path);
    }
    return std::nullopt;
}

}  // namespace romlift::cli
