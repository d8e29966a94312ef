#include "image_digest.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <span>

#include "hex.h"

namespace romlift::record {

namespace {

EVP_MD_CTX* Ctx(void* p) {
    return static_cast<EVP_MD_CTX*>(p);
}

// Feeds `sha` the file's bytes from `offset` up to `end` (or its end); false on a read error or a
// file missing.
bool HashFrom(Sha256& sha, const std::filesystem::path& path, uint64_t offset, uint64_t end) {
    const int fd = OpenRegularFile(path);
    if (fd < 0) {
        return false;
    }
    std::array<uint8_t, 65536> buf{};
    auto pos = static_cast<off_t>(offset);
    while (static_cast<uint64_t>(pos) < end) {
        const auto want =
            static_cast<size_t>(std::min<uint64_t>(buf.size(), end - static_cast<uint64_t>(pos)));
        const ssize_t got = ::pread(fd, buf.data(), want, pos);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ::close(fd);
            return false;
        }
        sha.Update(buf.data(), static_cast<size_t>(got));
        pos += got;
    }
    ::close(fd);
    return true;
}

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    Restart();
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(Ctx(ctx_));
}

void Sha256::Restart() {
    bytes_ = 0;
    ok_ = ctx_ != nullptr && EVP_DigestInit_ex(Ctx(ctx_), EVP_sha256(), nullptr) == 1;
}

void Sha256::Update(const uint8_t* bytes, size_t n) {
    bytes_ += n;
    if (ok_ && n != 0) {
        ok_ = EVP_DigestUpdate(Ctx(ctx_), bytes, n) == 1;
    }
}

std::string Sha256::FinishHex() {
    std::array<unsigned char, EVP_MAX_MD_SIZE> md{};
    unsigned int len = 0;
    const bool ok = ok_ && EVP_DigestFinal_ex(Ctx(ctx_), md.data(), &len) == 1;
    Restart();
    if (!ok) {
        return {};
    }
    return Hex(std::span(md.data(), len), HexCase::Lower);
}

std::string ImageDigest::FinishHex(const std::filesystem::path& image, uint64_t size) {
    if (sha_.Bytes() < size && !HashFrom(sha_, image, sha_.Bytes(), size)) {
        sha_.FinishHex();  // start over for the next attempt
        return {};
    }
    return sha_.FinishHex();
}

std::string Sha256Hex(const void* bytes, size_t n) {
    Sha256 sha;
    sha.Update(static_cast<const uint8_t*>(bytes), n);
    return sha.FinishHex();
}

std::string FileSha256(const std::filesystem::path& path) {
    Sha256 sha;
    if (!HashFrom(sha, path, 0, std::numeric_limits<uint64_t>::max())) {
        return {};
    }
    return sha.FinishHex();
}

}  // namespace romlift::record
