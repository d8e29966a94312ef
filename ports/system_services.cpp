#include "system_services.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace romlift::ports {

namespace fs = std::filesystem;

std::vector<pid_t> ProcessesNamed(const std::string& name, const std::string& procRoot) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(procRoot, ec)) {
        const std::string pidText = entry.path().filename().string();
        if (pidText.empty() || pidText.size() > 9 ||
            pidText.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream in(entry.path() / "comm");
        std::string comm;
        if (std::getline(in, comm) && comm == name.substr(0, 15)) {
            found.push_back(static_cast<pid_t>(std::stol(pidText)));
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool BrlttyInstalled() {
    std::error_code ec;
    for (const char* path :
         {"/usr/bin/brltty", "/bin/brltty", "/usr/lib/udev/rules.d/85-brltty.rules",
          "/lib/udev/rules.d/85-brltty.rules"}) {
        if (fs::exists(path, ec)) {
            return true;
        }
    }
    return false;
}

}  // namespace romlift::ports
