// SHA-256 of the firmware image as the transfer read it, with OpenSSL's libcrypto.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "image_reader.h"

namespace romlift::record {

// An incremental SHA-256. Not copyable: it owns an OpenSSL digest context.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const uint8_t* bytes, size_t n);
    // 64 lower-case hex digits of everything fed so far; the hasher starts over afterwards.
    // "" when libcrypto failed (then every later call is harmless).
    std::string FinishHex();
    uint64_t Bytes() const { return bytes_; }

  private:
    void Restart();

    void* ctx_;  // EVP_MD_CTX, kept out of this header
    bool ok_ = false;
    uint64_t bytes_ = 0;
};

// Set it as the image stream's observer (state.image.SetObserver(&digest)) before an attempt; it
// hashes the bytes the frames carry.
class ImageDigest : public ImageObserver {
  public:
    void ImageRead(const uint8_t* bytes, size_t n) override { sha_.Update(bytes, n); }
    uint64_t Bytes() const { return sha_.Bytes(); }

    // The hex digest of the image of `size` bytes: the bytes sent, followed, when the attempt
    // stopped before the last frame, by the rest of `image` from where the frames stopped, so
    // that every attempt names the image it was sending. "" when the rest cannot be read (the file
    // went away). Starts over for the next attempt.
    std::string FinishHex(const std::filesystem::path& image, uint64_t size);

  private:
    Sha256 sha_;
};

// The hex SHA-256 of `n` bytes in memory; "" when libcrypto failed.
std::string Sha256Hex(const void* bytes, size_t n);

// The hex SHA-256 of a whole file; "" when it cannot be read.
std::string FileSha256(const std::filesystem::path& path);

}  // namespace romlift::record
