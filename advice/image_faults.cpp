#include "image_faults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "device_access.h"

namespace romlift::advice {
namespace {

std::string ThisUser() {
    return ports::UserName(::geteuid());
}

// "permission denied: owner root, group dialout, mode 0600; user nobody may not read it", or,
// when the thing itself cannot even be looked at, the folder on the way that keeps the user out.
std::string PermissionDenied(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return "permission denied: a folder on its path keeps user " + ThisUser() + " out";
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "permission denied: owner " + ports::UserName(st.st_uid) + ", group " +
           ports::GroupName(st.st_gid) + ", mode " + mode + "; user " + ThisUser() +
           " may not read it";
}

const char* KindOfNode(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a FIFO (named pipe)";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a regular file";
}

}  // namespace

Hint ExplainImage(const std::filesystem::path& image, bool searched,
                  const std::string& searchPattern) {
    Hint h;
    h.facts["path"] = image.string();
    if (image.empty()) {
        h.kind = "image-none";
        h.text = "no firmware image matches " + searchPattern;
        h.facts["errno"] = ENOENT;
        return h;
    }
    const std::string shown = "image " + image.string() + ": ";
    struct stat st {};
    if (::stat(image.c_str(), &st) != 0) {
        const int err = errno;
        h.facts["errno"] = err;
        if (err == ENOENT && searched) {
            h.kind = "image-vanished";
            h.text = shown + "gone since the search (no such file now)";
        } else if (err == ENOENT || err == ENOTDIR) {
            h.kind = "image-absent";
            h.text = shown + "no such file";
        } else if (err == EACCES) {
            h.kind = "image-permission";
            h.text = shown + PermissionDenied(image);
        } else {
            h.kind = "image-open";
            h.text = shown + std::strerror(err);
        }
        return h;
    }
    h.facts["errno"] = 0;
    if (S_ISDIR(st.st_mode)) {
        h.kind = "image-folder";
        h.text = shown + "a folder, not a file";
        return h;
    }
    if (!S_ISREG(st.st_mode)) {
        h.kind = "image-not-file";
        h.text = shown + KindOfNode(st.st_mode) + ", not a file";
        return h;
    }
    if (static_cast<uint64_t>(st.st_size) > std::numeric_limits<uint32_t>::max()) {
        h.kind = "image-too-large";
        h.text = shown + std::to_string(st.st_size) +
                 " bytes, larger than the exchange's 32-bit size (4294967295 bytes at most)";
        return h;
    }
    // O_NONBLOCK: should a FIFO have been swapped in since the look, the open must not hang.
    const int fd = ::open(image.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        h.facts["errno"] = err;
        h.kind = err == EACCES ? "image-permission" : "image-open";
        h.text =
            shown + (err == EACCES ? PermissionDenied(image) : std::string(std::strerror(err)));
        return h;
    }
    ::close(fd);
    h.kind = "image-open";
    h.text =
        shown +
        "readable now, but not when the download opened it; it may have been replaced meanwhile";
    return h;
}

std::optional<std::string> DriversFolderProblem(const std::filesystem::path& folder) {
    const std::string shown = "--drivers " + folder.string() + ": ";
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int err = fd < 0 ? errno : 0;
    if (fd >= 0) {
        ::close(fd);
        // Listing needs read access, looking at each file needs search access too.
        if (::faccessat(AT_FDCWD, folder.c_str(), R_OK | X_OK, AT_EACCESS) == 0) {
            return std::nullopt;
        }
        return shown + PermissionDenied(folder);
    }
    struct stat st {};
    const bool exists = ::stat(folder.c_str(), &st) == 0;
    switch (err) {
        case ENOENT:
            return shown + "no such folder";
        case ENOTDIR:
            return shown + (exists ? "not a folder"
                                   : "no such folder (a part of its path is not a folder)");
        case EACCES:
            return shown + PermissionDenied(folder);
        default:
            return shown + std::strerror(err);
    }
}

}  // namespace romlift::advice
