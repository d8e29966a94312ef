// Real file-system faults for tests, each undone when its object goes: a small tmpfs that can be
// filled to the last block, a read-only bind mount, a file or folder this process may not write
// (the immutable flag for root, whom modes do not stop; a mode without write bits for others).
// Mounting needs root; where it is refused, Why() says so and the test skips saying it.
#pragma once

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "scratch_dir.h"

namespace romlift::testing {

// A file system mounted on a fresh folder, unmounted when the object goes.
class ScratchMount {
  public:
    ~ScratchMount() {
        if (!path_.empty()) {
            ::umount2(path_.c_str(), MNT_DETACH);
        }
    }
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;

    bool Mounted() const { return !path_.empty(); }
    const std::string& Why() const { return why_; }
    const std::filesystem::path& Path() const { return path_; }

  protected:
    // `what` is mounted on Path() with `mount(2)`'s arguments; Why() says why not.
    ScratchMount(const char* source, const char* type, unsigned long flags, const char* data,
                 const char* what) {
        path_ = scratch_.Path() / "mnt";
        std::error_code ec;
        std::filesystem::create_directory(path_, ec);
        if (ec || ::mount(source, path_.c_str(), type, flags, data) != 0) {
            why_ = std::string("cannot mount ") + what + " (" + std::strerror(errno) +
                   "): it needs root to be made real";
            path_.clear();
        }
    }
    void Fail(const std::string& why) {
        why_ = why;
        ::umount2(path_.c_str(), MNT_DETACH);
        path_.clear();
    }

  private:
    ScratchDir scratch_;
    std::filesystem::path path_;
    std::string why_;
};

// A tmpfs of `bytes`.
class SmallTmpfs : public ScratchMount {
  public:
    explicit SmallTmpfs(size_t bytes)
        : ScratchMount("tmpfs", "tmpfs", MS_NOSUID | MS_NODEV,
                       ("size=" + std::to_string(bytes) + ",mode=0755").c_str(),
                       "a small tmpfs for a full disk") {}

    // Takes every block left with a file of its own, so that the next block anyone asks for
    // meets ENOSPC; false when the file system would not fill.
    bool Fill() const {
        const int fd =
            ::open((Path() / ".filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) {
            return false;
        }
        const std::vector<char> block(4096, '\0');
        ssize_t put = 0;
        while ((put = ::write(fd, block.data(), block.size())) > 0) {
        }
        const int err = errno;
        ::close(fd);
        return put < 0 && err == ENOSPC;
    }
    // Gives the blocks Fill() took back.
    void Free() const { ::unlink((Path() / ".filler").c_str()); }
};

// `folder` again, read-only.
class ReadOnlyBind : public ScratchMount {
  public:
    explicit ReadOnlyBind(const std::filesystem::path& folder)
        : ScratchMount(folder.c_str(), nullptr, MS_BIND, nullptr, "a read-only bind") {
        if (Mounted() && ::mount(nullptr, Path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                                 nullptr) != 0) {
            Fail(std::string("cannot make the bind mount read-only (") + std::strerror(errno) +
                 ")");
        }
    }
};

// `path` (a file or folder) made unwritable for this process until the object goes.
class Unwritable {
  public:
    explicit Unwritable(const std::filesystem::path& path) : path_(path) {
        if (::geteuid() != 0) {
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && ::chmod(path.c_str(), st.st_mode & 0555) == 0) {
                mode_ = st.st_mode & 07777;
                return;
            }
            why_ = std::string("cannot take the write bits away (") + std::strerror(errno) + ")";
            return;
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            const int set = flags | FS_IMMUTABLE_FL;
            if (::ioctl(fd, FS_IOC_SETFLAGS, &set) == 0) {
                flags_ = flags;
            }
        }
        if (flags_ < 0) {
            why_ = std::string("cannot set the immutable flag (") + std::strerror(errno) +
                   "): root writes whatever the mode says";
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    ~Unwritable() {
        if (mode_ >= 0) {
            ::chmod(path_.c_str(), static_cast<mode_t>(mode_));
        }
        if (flags_ >= 0) {
            const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd >= 0) {
                ::ioctl(fd, FS_IOC_SETFLAGS, &flags_);
                ::close(fd);
            }
        }
    }
    Unwritable(const Unwritable&) = delete;
    Unwritable& operator=(const Unwritable&) = delete;

    bool Done() const { return why_.empty(); }
    const std::string& Why() const { return why_; }

  private:
    std::filesystem::path path_;
    int mode_ = -1;
    int flags_ = -1;
    std::string why_;
};

}  // namespace romlift::testing
