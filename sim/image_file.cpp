#include "image_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

namespace vx7r {

bool SaveImage(const std::string& path, const std::vector<uint8_t>& image, std::string* error) {
    // Same folder as the target, so rename() never crosses a file system. O_EXCL with a
    // per-process counter keeps two savers from sharing a temporary file.
    static std::atomic<unsigned> serial{0};
    std::string temp;
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 100; ++tries) {
        temp = path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(serial++);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    bool created = fd >= 0;
    auto fail = [&](const std::string& what) {
        int saved = errno;
        if (fd >= 0) {
            close(fd);
        }
        if (created) {
            unlink(temp.c_str());
        }
        if (error) {
            *error = what + ": " + strerror(saved);
        }
        return false;
    };
    if (fd < 0) {
        return fail("cannot create a temporary file next to " + path);
    }
    size_t done = 0;
    while (done < image.size()) {
        ssize_t put = write(fd, image.data() + done, image.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return fail("cannot write " + temp);
        }
        done += put;
    }
    if (fsync(fd) != 0) {
        return fail("cannot write " + temp);
    }
    int closed = close(fd);
    fd = -1;
    if (closed != 0) {
        return fail("cannot write " + temp);
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        return fail("cannot rename " + temp + " to " + path);
    }
    return true;
}

}  // namespace vx7r
