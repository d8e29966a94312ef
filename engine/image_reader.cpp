#include "image_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "download_state.h"

namespace romlift {

int OpenRegularFile(const std::filesystem::path& path) {
    // Look before opening: opening a tape or a tty has effects of its own.
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    // O_NONBLOCK: should a FIFO have been swapped in since the look, the open must not hang.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void ImageStream::Open(const std::filesystem::path& path) {
    Close();
    eof_ = fail_ = bad_ = false;
    filePos_ = 0;
    bufLen_ = bufPos_ = 0;

    const int fd = OpenRegularFile(path);
    if (fd < 0) {
        fail_ = true;
        return;
    }
    fd_ = fd;
}

void ImageStream::Open(std::shared_ptr<const std::vector<uint8_t>> bytes) {
    Close();
    eof_ = bad_ = false;
    fail_ = bytes == nullptr;
    filePos_ = 0;
    bytes_ = std::move(bytes);
}

void ImageStream::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    bytes_.reset();
    bufLen_ = bufPos_ = 0;
}

bool ImageStream::Fill() {
    if (!IsOpen()) {
        fail_ = true;
        return false;
    }
    filePos_ += static_cast<long long>(bufLen_);
    bufLen_ = bufPos_ = 0;
    if (bytes_ != nullptr) {
        const auto at = static_cast<size_t>(filePos_);
        bufLen_ = std::min(sizeof buf_, bytes_->size() - std::min(at, bytes_->size()));
        if (bufLen_ == 0) {
            eof_ = fail_ = true;
            return false;
        }
        std::memcpy(buf_, bytes_->data() + at, bufLen_);
        return true;
    }
    for (;;) {
        const ssize_t got = ::read(fd_, buf_, sizeof buf_);
        if (got > 0) {
            bufLen_ = static_cast<size_t>(got);
            return true;
        }
        if (got == 0) {
            eof_ = fail_ = true;
            return false;
        }
        if (errno != EINTR) {
            bad_ = true;
            return false;
        }
    }
}

int ImageStream::Get() {
    if (IsUnusable()) {
        fail_ = true;
        return -1;
    }
    if (bufPos_ == bufLen_ && !Fill()) {
        return -1;
    }
    return buf_[bufPos_++];
}

size_t ImageStream::Read(uint8_t* out, size_t n) {
    if (IsUnusable()) {
        fail_ = true;
        return 0;
    }
    size_t done = 0;
    while (done < n) {
        if (bufPos_ == bufLen_ && !Fill()) {
            break;
        }
        const size_t take = std::min(n - done, bufLen_ - bufPos_);
        std::memcpy(out + done, buf_ + bufPos_, take);
        bufPos_ += take;
        done += take;
    }
    if (done < n) {
        eof_ = fail_ = true;
    }
    return done;
}

long long ImageStream::Tell() {
    if (IsUnusable() || !IsOpen()) {
        fail_ = true;
        return -1;
    }
    return filePos_ + static_cast<long long>(bufPos_);
}

void OpenImage(DownloadState& state, const std::filesystem::path& path) {
    if (state.imageBytes != nullptr) {
        state.image.Open(state.imageBytes);
    } else {
        state.image.Open(path);
    }
}

void CloseImage(DownloadState& state) {
    state.image.Close();
}

bool IsUnusable(const DownloadState& state) {
    return state.image.IsUnusable();
}

}  // namespace romlift

namespace romlift::FirmwareHelper {

uint8_t FileChecksum(ImageStream& stream, uint32_t count) {
    uint8_t sum = 0;
    while (!stream.IsUnusable() && count != 0) {
        sum ^= static_cast<uint8_t>(stream.Get());  // end of file reads as 0xFF
        --count;
    }
    return sum;
}

bool ReadChunk(ImageStream& stream, uint8_t* buffer, size_t length, size_t capacity) {
    stream.Tell();
    if (capacity < length || stream.IsUnusable()) {
        return false;
    }
    std::memset(buffer, 0, capacity);
    if (stream.Read(buffer, length) != length) {
        return false;
    }
    if (stream.Observer() != nullptr) {
        stream.Observer()->ImageRead(buffer, length);
    }
    return true;
}

}  // namespace romlift::FirmwareHelper
