// The firmware image as a byte stream: opened for a download, read once for the checksum and once
// more for the frames, closed on every way out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

namespace romlift {

// Sees the image bytes that go into frames, chunk by chunk as ReadChunk takes them, so a front end
// can keep a digest of what was sent without the engine knowing about it. Called on the
// downloading thread, only for complete chunks; it must not block.
class ImageObserver {
  public:
    virtual void ImageRead(const uint8_t* bytes, size_t n) = 0;

  protected:
    ~ImageObserver() = default;
};

// A binary input stream on one regular file, or on an image already read into memory, with the
// usual eof/fail/bad state. Only regular files (or links to them) are opened: a FIFO or a device
// named like an image would block or be read with side effects.
class ImageStream {
  public:
    ImageStream() = default;
    ~ImageStream() { Close(); }
    ImageStream(const ImageStream&) = delete;
    ImageStream& operator=(const ImageStream&) = delete;

    // Clears the state, then attaches to `path`. On failure the stream is left unusable.
    void Open(const std::filesystem::path& path);
    // The same on `bytes` (shared, never changed): the stream reads them as it would the file.
    void Open(std::shared_ptr<const std::vector<uint8_t>> bytes);
    // Detaches; harmless on a stream that is not attached.
    void Close();
    bool IsOpen() const { return fd_ >= 0 || bytes_ != nullptr; }

    bool Eof() const { return eof_; }
    bool Fail() const { return fail_; }
    bool Bad() const { return bad_; }
    bool IsUnusable() const { return fail_ || bad_; }

    // Next byte, or -1 at end of file or error (which then mark the stream unusable).
    int Get();
    // Up to `n` bytes; a short count marks the stream at end of file and unusable.
    size_t Read(uint8_t* out, size_t n);
    // Current read position; -1 (and the stream unusable) when it cannot be told.
    long long Tell();

    // Kept across Open and Close: the transfer reopens the image between its two passes. Not
    // owned; null for none.
    void SetObserver(ImageObserver* observer) { observer_ = observer; }
    ImageObserver* Observer() const { return observer_; }

  private:
    bool Fill();

    int fd_ = -1;
    std::shared_ptr<const std::vector<uint8_t>> bytes_;  // instead of fd_
    bool eof_ = false;
    bool fail_ = false;
    bool bad_ = false;
    long long filePos_ = 0;  // file offset of buf_[0]
    uint8_t buf_[8192]{};    // filled by Fill() before any byte is taken
    size_t bufLen_ = 0;
    size_t bufPos_ = 0;
    ImageObserver* observer_ = nullptr;
};

// Opens `path` read-only if it is a regular file (or a link to one), without blocking on anything
// else: the descriptor, or -1. The caller closes it.
int OpenRegularFile(const std::filesystem::path& path);

// OpenImage, CloseImage and IsUnusable work on the image stream held in the download state.
// OpenImage reads the state's imageBytes instead of `path` when they are set.
struct DownloadState;
void OpenImage(DownloadState& state, const std::filesystem::path& path);
void CloseImage(DownloadState& state);
bool IsUnusable(const DownloadState& state);

}  // namespace romlift

namespace romlift::FirmwareHelper {

// XOR of the next `count` bytes. Stops early only when the stream becomes unusable; a read that
// hits the end of the file folds in 0xFF once before the loop stops.
uint8_t FileChecksum(ImageStream& stream, uint32_t count);

// The next `length` bytes into `buffer`, after zeroing its first `capacity` bytes. False when
// capacity < length, when the stream is already unusable, or when the file delivers fewer than
// `length` bytes (a file that shrank mid-download must not go out padded with zeros). The stream's
// observer, if any, sees the chunk when it is whole.
bool ReadChunk(ImageStream& stream, uint8_t* buffer, size_t length, size_t capacity);

}  // namespace romlift::FirmwareHelper
