// Helpers every test suite, fuzz replay and benchmark shares: descriptor counting and a throw-away
// folder. No GoogleTest, Qt or engine here (romlift_test_basics).
#pragma once

// The POSIX file calls come along: suites that write and lock files take them from here.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace romlift::testing {

// Open descriptors of this process; a leak shows up as a difference.
int OpenDescriptorCount();

// Open descriptors of this process on a file whose path starts with one of `prefixes` (e.g.
// "/dev/pts/" and a firmware folder): for a process whose libraries open descriptors of their
// own at times of their choosing (Qt's font and accessibility code).
int OpenDescriptorCountUnder(const std::vector<std::string>& prefixes);

// True when a descriptor of this process is open on the character device `rdev`.
bool HoldsDevice(dev_t rdev);

// Creates or replaces `path` with `bytes`, all of them; false on any failure.
bool WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// A fresh folder <parent>/<prefix>-XXXXXX (mode 0700), removed with everything in it when the
// object goes, whatever permission bits the test left on its subfolders. Path() is empty when no
// folder could be made.
class ScratchDir {
  public:
    explicit ScratchDir(std::string_view prefix = "romlift-test",
                        const std::filesystem::path& parent = "/tmp");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }

    // Writes `bytes` to `name` inside the directory; the full path, empty on failure.
    std::filesystem::path Write(const std::string& name, const std::vector<uint8_t>& bytes) const;

    // Removes everything inside, keeping the folder itself.
    void Clear() const;

  private:
    void OpenUp() const;

    std::filesystem::path path_;
};

// Sets or clears one environment variable for the life of the object.
class EnvVar {
  public:
    explicit EnvVar(const char* name) : name_(name) {
        if (const char* v = std::getenv(name)) {
            saved_ = v;
        }
    }
    ~EnvVar() {
        if (saved_) {
            ::setenv(name_, saved_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    EnvVar(const EnvVar&) = delete;
    EnvVar& operator=(const EnvVar&) = delete;
    void Set(const char* value) { ::setenv(name_, value, 1); }
    void Unset() { ::unsetenv(name_); }

  private:
    const char* name_;
    std::optional<std::string> saved_;
};

}  // namespace romlift::testing
