// Helpers shared by the locator tests: a throw-away folder to put firmware files in, and a way to
// see descriptors the search leaves open.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "firmware_locator.h"
#include "scratch_dir.h"

namespace romlift::locate_testing {

using romlift::testing::OpenDescriptorCount;
using romlift::testing::ScratchDir;

// Creates (or replaces) a file of `size` bytes of a repeating pattern; false on any failure.
inline bool WriteFile(const std::filesystem::path& p, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>('A' + i % 26);
    }
    return romlift::testing::WriteBytes(p, bytes);
}

inline std::vector<std::string> Names(const std::vector<FirmwareFile>& files) {
    std::vector<std::string> names;
    for (const FirmwareFile& f : files) {
        names.push_back(f.name);
    }
    return names;
}

}  // namespace romlift::locate_testing
