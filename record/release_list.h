// Release lists: the SHA256SUMS file an administrator writes for a folder of firmware images, in
// the format sha256sum writes, and its raw Ed25519 signature beside it (SHA256SUMS.sig), as
// `openssl pkeyutl -sign -rawin` makes it. Hashes and signatures are libcrypto's.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace romlift::record {

inline constexpr std::string_view kReleaseListName = "SHA256SUMS";
inline constexpr std::string_view kSignatureSuffix = ".sig";
inline constexpr size_t kSignatureSize = 64;  // a raw Ed25519 signature

// `list` with ".sig" added: where its signature is kept.
std::filesystem::path SignaturePath(const std::filesystem::path& list);

struct ListedImage {
    std::string name;    // as listed, sha256sum's escapes undone
    std::string sha256;  // 64 lower-case hex digits
};

// Reads `text` as sha256sum writes it and `sha256sum -c` reads it: "<64 hex>  <name>" or
// "<64 hex> *<name>" a line, a leading backslash where the name holds escaped backslashes or
// line breaks, a CR before the line break taken off, "#" lines skipped. False with "line N: why"
// for any other line: a list that does not read cannot say which image is released.
bool ParseReleaseList(std::string_view text, std::vector<ListedImage>* images, std::string* error);

// One line as sha256sum writes it: "<sha256>  <name>\n", escaped when the name needs it.
std::string ReleaseLine(const std::string& name, const std::string& sha256);

// Reads the whole of a regular file of at most `limit` bytes (a list, a signature, a key). False
// with a sentence naming the file; *missing tells a file that is not there from one that does
// not read.
bool ReadSmallFile(const std::filesystem::path& path, size_t limit, std::string* bytes,
                   std::string* error, bool* missing = nullptr);

// An Ed25519 public key the station trusts to sign release lists.
struct TrustedKey {
    std::string file;  // the PEM file it came from
    std::string id;    // KeyId of its public key bytes
    std::string raw;   // the 32 public key bytes
};

// The first 16 hex digits of the SHA-256 of a key's raw public key bytes: how rows and
// `release verify` name the key.
std::string KeyId(const std::string& rawPublicKey);

// The Ed25519 public keys (PEM, as `openssl pkey -pubout` writes them) in `where`: a file with
// one or more keys, or a folder whose *.pem files hold them (name order). False with a sentence
// when a file does not read, holds no public key, or holds a key that is not Ed25519: a station
// must not run on half its trusted keys.
bool LoadTrustedKeys(const std::filesystem::path& where, std::vector<TrustedKey>* keys,
                     std::string* error);

// The key of `keys` whose signature `signature` is over exactly `message`; null when none.
const TrustedKey* SignedBy(const std::vector<TrustedKey>& keys, std::string_view message,
                           std::string_view signature);

// Signs `message` with the Ed25519 private key in the PEM file `keyFile` (`openssl genpkey
// -algorithm ed25519` writes one): the raw 64-byte signature and the KeyId of its public key.
bool SignWithKey(const std::filesystem::path& keyFile, std::string_view message,
                 std::string* signature, std::string* keyId, std::string* error);

}  // namespace romlift::record
