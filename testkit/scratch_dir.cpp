#include "scratch_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

namespace romlift::testing {

namespace fs = std::filesystem;

int OpenDescriptorCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

int OpenDescriptorCountUnder(const std::vector<std::string>& prefixes) {
    int n = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/self/fd", ec)) {
        const std::string target = fs::read_symlink(e.path(), ec).string();
        for (const std::string& prefix : prefixes) {
            if (!ec && target.rfind(prefix, 0) == 0) {
                ++n;
                break;
            }
        }
    }
    return n;
}

bool HoldsDevice(dev_t rdev) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/self/fd", ec)) {
        struct stat st {};
        if (::stat(e.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
            return true;
        }
    }
    return false;
}

bool WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return ::close(fd) == 0;
}

ScratchDir::ScratchDir(std::string_view prefix, const fs::path& parent) {
    std::string tmpl = (parent / prefix).string() + "-XXXXXX";
    if (::mkdtemp(tmpl.data()) != nullptr) {
        path_ = tmpl;
    }
}

ScratchDir::~ScratchDir() {
    if (!path_.empty()) {
        OpenUp();
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
}

fs::path ScratchDir::Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const fs::path p = path_ / name;
    return !path_.empty() && WriteBytes(p, bytes) ? p : fs::path();
}

void ScratchDir::Clear() const {
    OpenUp();
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(path_, ec)) {
        std::error_code ignored;
        fs::remove_all(e.path(), ignored);
    }
}

// A test may have locked a subfolder; open everything up again so that it can go.
void ScratchDir::OpenUp() const {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            ::chmod(it->path().c_str(), 0700);
        }
    }
}

}  // namespace romlift::testing
