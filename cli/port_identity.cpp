#include "port_identity.h"

#include <sys/stat.h>

#include <filesystem>

#include "com_map.h"

namespace romlift::cli {
namespace {

struct Identity {
    bool device = false;  // a character or block device: known by its number
    dev_t number = 0;     // st_rdev of a device, st_dev of anything else
    ino_t inode = 0;
    bool operator==(const Identity&) const = default;
};

}  // namespace

std::optional<std::string> SameDeviceTwice(const std::vector<PortArg>& ports) {
    std::vector<std::optional<Identity>> seen;
    std::vector<std::string> paths;
    for (const PortArg& port : ports) {
        const std::string path =
            port.comNumber > 0 ? ports::ResolveCom(port.comNumber).device : port.device;
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
