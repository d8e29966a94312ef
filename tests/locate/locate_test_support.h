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
#include "scratch_dir.h"

namespace romlift::locate_testing {

using romlift::testing::OpenDescriptorCount;
using romlift::testing::ScratchDir;

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
