// Helpers every test suite shares: descriptor counting and a throw-away folder.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace romlift::testing {

// Open descriptors of this process; a leak shows up as a difference.
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
        std::string tmpl = "/tmp/romlift-test-XXXXXX";
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

    // Writes `bytes` to `name` inside the directory; the full path, empty on failure.
    std::filesystem::path Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const std::filesystem::path p = path_ / name;
        const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            return {};
        }
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (put <= 0) {
                ::close(fd);
                return {};
            }
            done += static_cast<size_t>(put);
        }
        ::close(fd);
        return p;
    }

  private:
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
