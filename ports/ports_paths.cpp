#include "ports_paths.h"

#include <cstdlib>

namespace romlift::ports {
namespace {

const char* Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : nullptr;
}

}  // namespace

PortsPaths PortsPaths::ForThisProcess() {
    PortsPaths p;
    if (const char* sys = Env("ROMLIFT_SYSFS")) {
        p.sys = sys;
    }
    if (const char* dev = Env("ROMLIFT_DEV")) {
        p.dev = dev;
    }
    if (const char* udev = Env("ROMLIFT_UDEV_DATA")) {
        p.udevData = udev;
    }
    // A relative XDG_CONFIG_HOME is invalid by the XDG rules and is ignored.
    if (const char* xdg = Env("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        p.userMap = std::filesystem::path(xdg) / "romlift" / "ports.conf";
    } else if (const char* home = Env("HOME")) {
        p.userMap = std::filesystem::path(home) / ".config" / "romlift" / "ports.conf";
    }
    return p;
}

}  // namespace romlift::ports
