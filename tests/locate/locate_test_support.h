// Helpers shared by the locator tests: a throw-away folder to put firmware files in, and a way to
// see descriptors the search leaves open.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "firmware_locator.h"

namespace romlift::locate_testing {

// Open descriptors of this process; a folder handle left open shows up as a difference.
inline int OpenDescriptorCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

// A fresh folder under /tmp, removed with everything in it when the object goes.
class ScratchDir {
  public:
    ScratchDir() {
        std::string tmpl = "/tmp/romlift-locate-XXXXXX";
        if (::mkdtemp(tmpl.data()) != nullptr) {
            path_ = tmpl;
        }
    }
    ~ScratchDir() {
        if (path_.empty()) {
            return;
        }
        // A test may have locked a subfolder; open everything up again so that it can go.
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(
                 path_, std::filesystem::directory_options::skip_permission_denied, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec)) {
                ::chmod(it->path().c_str(), 0755);
            }
        }
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Creates (or replaces) a file of `size` bytes of a repeating pattern; false on any failure.
inline bool WriteFile(const std::filesystem::path& p, size_t size) {
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('A' + i % 26);
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(fd, bytes.data() + done, size - done);
        if (put <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return ::close(fd) == 0;
}

inline std::vector<std::string> Names(const std::vector<FirmwareFile>& files) {
    std::vector<std::string> names;
    for (const FirmwareFile& f : files) {
        names.push_back(f.name);
    }
    return names;
}

}  // namespace romlift::locate_testing
