#include "release_list.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "ascii_case.h"
#include "image_digest.h"
#include "image_reader.h"

namespace romlift::record {

namespace {

constexpr size_t kHexDigits = 64;
constexpr size_t kKeyFileLimit = 1 << 20;
constexpr size_t kRawKeySize = 32;
constexpr std::string_view kPublicKeyBegin = "-----BEGIN PUBLIC KEY-----";

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Bio = std::unique_ptr<BIO, BioFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

Bio MemoryBio(std::string_view bytes) {
    return Bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

bool RawPublicKey(EVP_PKEY* key, std::string* raw) {
    std::array<unsigned char, kRawKeySize> buf{};
    size_t len = buf.size();
    if (EVP_PKEY_get_raw_public_key(key, buf.data(), &len) != 1 || len != kRawKeySize) {
        return false;
    }
    raw->assign(reinterpret_cast<const char*>(buf.data()), len);
    return true;
}

// Every public key in one PEM file, appended to `keys`.
bool KeysFromPem(const std::string& file, std::string_view pem, std::vector<TrustedKey>* keys,
                 std::string* error) {
    const Bio bio = MemoryBio(pem);
    size_t found = 0;
    ERR_clear_error();
    while (bio != nullptr) {
        const Pkey key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
        if (key == nullptr) {
            break;
        }
        ++found;
        std::string raw;
        if (EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519 || !RawPublicKey(key.get(), &raw)) {
            *error = file + ": holds a public key that is not Ed25519";
            ERR_clear_error();
            return false;
        }
        keys->push_back(TrustedKey{file, KeyId(raw), raw});
    }
    ERR_clear_error();
    if (found == 0) {
        *error = file + ": holds no PEM public key (openssl pkey -in KEY.pem -pubout writes one)";
        return false;
    }
    // Reading stops at the first block that does not read: every block must have been a key.
    size_t blocks = 0;
    for (size_t at = pem.find(kPublicKeyBegin); at != std::string_view::npos;
         at = pem.find(kPublicKeyBegin, at + 1)) {
        ++blocks;
    }
    if (blocks != found) {
        *error = file + ": a public key in it does not read";
        return false;
    }
    return true;
}

bool EndsWithIgnoringCase(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && EqualsIgnoringCase(s.substr(s.size() - tail.size()), tail);
}

}  // namespace

std::filesystem::path SignaturePath(const std::filesystem::path& list) {
    return list.string() + std::string(kSignatureSuffix);
}

bool ParseReleaseList(std::string_view text, std::vector<ListedImage>* images, std::string* error) {
    images->clear();
    size_t number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        const auto bad = [&] {
            *error = "line " + std::to_string(number) +
                     " is not \"<SHA-256>  <name>\" as sha256sum writes it";
            return false;
        };
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const bool escaped = line[0] == '\\';
        if (escaped) {
            line.remove_prefix(1);
        }
        if (line.size() < kHexDigits + 3 || line[kHexDigits] != ' ' ||
            (line[kHexDigits + 1] != ' ' && line[kHexDigits + 1] != '*')) {
            return bad();
        }
        ListedImage image;
        for (const char c : line.substr(0, kHexDigits)) {
            if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
                return bad();
            }
            image.sha256 += static_cast<char>(FoldAscii(static_cast<unsigned char>(c)));
        }
        const std::string_view name = line.substr(kHexDigits + 2);
        for (size_t i = 0; i < name.size(); ++i) {
            if (!escaped || name[i] != '\\') {
                image.name += name[i];
                continue;
            }
            const char next = i + 1 < name.size() ? name[++i] : '\0';
            if (next == '\\') {
                image.name += '\\';
            } else if (next == 'n') {
                image.name += '\n';
            } else if (next == 'r') {
                image.name += '\r';
            } else {
                return bad();
            }
        }
        images->push_back(std::move(image));
    }
    return true;
}

std::string ReleaseLine(const std::string& name, const std::string& sha256) {
    if (name.find_first_of("\\\n") == std::string::npos) {
        return sha256 + "  " + name + "\n";
    }
    std::string escaped;
    for (const char c : name) {
        escaped += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return "\\" + sha256 + "  " + escaped + "\n";
}

bool ReadSmallFile(const std::filesystem::path& path, size_t limit, std::string* bytes,
                   std::string* error, bool* missing) {
    if (missing != nullptr) {
        *missing = false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int err = errno;
        if (missing != nullptr) {
            *missing = err == ENOENT;
        }
        *error = path.string() + ": " + (err == ENOENT ? "no such file" : std::strerror(err));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path.string() + ": not a file";
        return false;
    }
    const int fd = OpenRegularFile(path);
    if (fd < 0) {
        *error = path.string() + ": " + std::strerror(errno);
        return false;
    }
    bytes->clear();
    std::array<char, 65536> buf{};
    for (;;) {
        const ssize_t got = ::read(fd, buf.data(), buf.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *error = path.string() + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (got == 0) {
            break;
        }
        bytes->append(buf.data(), static_cast<size_t>(got));
        if (bytes->size() > limit) {
            *error = path.string() + ": larger than " + std::to_string(limit) + " bytes";
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

std::string KeyId(const std::string& rawPublicKey) {
    return Sha256Hex(rawPublicKey.data(), rawPublicKey.size()).substr(0, 16);
}

bool LoadTrustedKeys(const std::filesystem::path& where, std::vector<TrustedKey>* keys,
                     std::string* error) {
    keys->clear();
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    if (std::filesystem::is_directory(where, ec)) {
        for (const auto& entry : std::filesystem::directory_iterator(where, ec)) {
            if (EndsWithIgnoringCase(entry.path().filename().string(), ".pem") &&
                entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
        if (ec) {
            *error = where.string() + ": " + ec.message();
            return false;
        }
        if (files.empty()) {
            *error = where.string() + ": no *.pem public keys in this folder";
            return false;
        }
        std::sort(files.begin(), files.end());
    } else {
        files.push_back(where);
    }
    for (const std::filesystem::path& file : files) {
        std::string pem;
        if (!ReadSmallFile(file, kKeyFileLimit, &pem, error) ||
            !KeysFromPem(file.string(), pem, keys, error)) {
            return false;
        }
    }
    return true;
}

const TrustedKey* SignedBy(const std::vector<TrustedKey>& keys, std::string_view message,
                           std::string_view signature) {
    if (signature.size() != kSignatureSize) {
        return nullptr;
    }
    for (const TrustedKey& key : keys) {
        const Pkey pkey(EVP_PKEY_new_raw_public_key(
            EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(key.raw.data()),
            key.raw.size()));
        const MdCtx ctx(EVP_MD_CTX_new());
        if (pkey == nullptr || ctx == nullptr) {
            continue;
        }
        if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
            EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                             signature.size(),
                             reinterpret_cast<const unsigned char*>(message.data()),
                             message.size()) == 1) {
            return &key;
        }
    }
    ERR_clear_error();
    return nullptr;
}

bool SignWithKey(const std::filesystem::path& keyFile, std::string_view message,
                 std::string* signature, std::string* keyId, std::string* error) {
    std::string pem;
    if (!ReadSmallFile(keyFile, kKeyFileLimit, &pem, error)) {
        return false;
    }
    const Bio bio = MemoryBio(pem);
    // A key kept under a pass phrase is asked for on the terminal, as openssl itself asks.
    const Pkey key(bio != nullptr ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                                  : nullptr);
    ERR_clear_error();
    if (key == nullptr) {
        *error = keyFile.string() + ": holds no PEM private key that reads";
        return false;
    }
    std::string raw;
    if (EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519 || !RawPublicKey(key.get(), &raw)) {
        *error = keyFile.string() +
                 ": not an Ed25519 key (openssl genpkey -algorithm ed25519 makes one)";
        return false;
    }
    std::array<unsigned char, kSignatureSize> sig{};
    size_t len = sig.size();
    const MdCtx ctx(EVP_MD_CTX_new());
    if (ctx == nullptr ||
        EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), sig.data(), &len,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1 ||
        len != kSignatureSize) {
        ERR_clear_error();
        *error = keyFile.string() + ": signing failed";
        return false;
    }
    signature->assign(reinterpret_cast<const char*>(sig.data()), len);
    *keyId = KeyId(raw);
    return true;
}

}  // namespace romlift::record
