#include "release_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "ascii_case.h"
#include "download_state.h"
#include "image_digest.h"
#include "image_reader.h"
#include "release_list.h"

namespace romlift::record {

namespace {

constexpr size_t kListLimit = 16 << 20;

// The whole image, as one read of the file; null when it does not read or does not fit the
// exchange's 32-bit size.
std::shared_ptr<const std::vector<uint8_t>> ReadImage(const std::filesystem::path& path) {
    const int fd = OpenRegularFile(path);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 ||
        static_cast<uint64_t>(st.st_size) > std::numeric_limits<uint32_t>::max()) {
        ::close(fd);
        return nullptr;
    }
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    bytes->reserve(static_cast<size_t>(st.st_size));
    uint8_t buf[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 || bytes->size() + static_cast<size_t>(std::max<ssize_t>(got, 0)) >
                           std::numeric_limits<uint32_t>::max()) {
            ::close(fd);
            return nullptr;
        }
        if (got == 0) {
            break;
        }
        bytes->insert(bytes->end(), buf, buf + got);
    }
    ::close(fd);
    return bytes;
}

std::string PolicyNamed(const Policy& policy) {
    return "the station's policy (" + policy.path + ")";
}

ReleaseCheck Refused(ReleaseCheck check, std::string kind, std::string why) {
    check.admission = ImageAdmission::Refused;
    check.kind = std::move(kind);
    check.why = std::move(why);
    check.listSha256.clear();
    check.keyId.clear();
    return check;
}

// Which trusted key signed `listBytes`, by the signature beside `list`; "" with the refusal's
// kind and reason when none did.
std::string SigningKey(const Policy& policy, const std::filesystem::path& list,
                       const std::string& listBytes, std::string* kind, std::string* why) {
    const std::filesystem::path sigPath = SignaturePath(list);
    std::string signature, error;
    bool missing = false;
    if (!ReadSmallFile(sigPath, 4096, &signature, &error, &missing)) {
        *kind = missing ? "release-unsigned" : "release-signature";
        *why = missing
                   ? "the release list " + list.string() + " is not signed (no " +
                         sigPath.filename().string() + " beside it), and " + PolicyNamed(policy) +
                         " sends only images of a list signed by a trusted key"
                   : "the signature " + error;
        return {};
    }
    if (signature.size() != kSignatureSize) {
        *kind = "release-signature";
        *why = "the signature " + sigPath.string() + " is " + std::to_string(signature.size()) +
               " bytes, not a raw Ed25519 signature (64 bytes)";
        return {};
    }
    if (policy.releaseKeys.empty()) {
        *kind = "release-keys";
        *why = PolicyNamed(policy) + " requires signed releases but names no trusted keys " +
               "(release_keys)";
        return {};
    }
    std::vector<TrustedKey> keys;
    if (!LoadTrustedKeys(policy.releaseKeys, &keys, &error)) {
        *kind = "release-keys";
        *why = "the trusted keys do not read: " + error;
        return {};
    }
    const TrustedKey* key = SignedBy(keys, listBytes, signature);
    if (key == nullptr) {
        *kind = "release-signature";
        *why = "the release list " + list.string() + " is not signed by a trusted key (" +
               policy.releaseKeys + "), or was changed after it was signed";
        return {};
    }
    return key->id;
}

std::string Mismatch(const std::string& shown, const std::string& name,
                     const std::filesystem::path& list) {
    return shown + " is not the released " + name +
           ": its SHA-256 differs from the one the release list " + list.string() + " gives";
}

}  // namespace

std::filesystem::path ReleaseListFor(const Policy& policy, const std::string& given,
                                     const std::filesystem::path& folder, bool* named) {
    const std::string& name = !policy.release.empty() ? policy.release : given;
    *named = !name.empty();
    return *named ? std::filesystem::path(name) : folder / kReleaseListName;
}

ReleaseCheck CheckRelease(const Policy& policy, const std::filesystem::path& image,
                          const std::string& given) {
    ReleaseCheck check;
    std::error_code ec;
    const std::filesystem::path whole = std::filesystem::absolute(image, ec);
    bool named = false;
    const std::filesystem::path list =
        ReleaseListFor(policy, given, (ec ? image : whole).parent_path(), &named);
    const std::string shown = "image " + image.string();

    std::string listBytes, error;
    bool missing = false;
    if (!ReadSmallFile(list, kListLimit, &listBytes, &error, &missing)) {
        if (missing && !named && !policy.requireRelease) {
            return check;  // no list and nothing asks for one: the file goes as it is
        }
        if (missing && !named) {
            return Refused(check, "release-no-list",
                           "no release list for " + shown + " (no " + list.string() + "), and " +
                               PolicyNamed(policy) + " sends only released images");
        }
        return Refused(check, "release-list", "the release list " + error);
    }
    check.list = list.string();
    std::vector<ListedImage> listed;
    if (!ParseReleaseList(listBytes, &listed, &error)) {
        return Refused(check, "release-list", "the release list " + list.string() + ": " + error);
    }

    check.bytes = ReadImage(image);
    if (check.bytes == nullptr) {
        check.admission = ImageAdmission::NotOpened;
        return check;
    }
    check.imageSha256 = Sha256Hex(check.bytes->data(), check.bytes->size());

    // Under the policy an unsigned list says nothing, not even which image it names.
    std::string kind;
    const std::string key =
        policy.requireRelease ? SigningKey(policy, list, listBytes, &kind, &error) : std::string();
    if (policy.requireRelease && key.empty()) {
        return Refused(check, kind, error);
    }
    const std::string name = image.filename().string();
    bool found = false;
    for (const ListedImage& entry : listed) {
        if (entry.name != name && entry.name != "./" + name) {
            continue;
        }
        if (entry.sha256 != check.imageSha256) {
            check.listedSha256 = entry.sha256;
            return Refused(check, "release-mismatch", Mismatch(shown, name, list));
        }
        found = true;
    }
    if (!found) {
        if (policy.requireRelease) {
            return Refused(check, "release-unlisted",
                           shown + " is not in the release list " + list.string() + ", and " +
                               PolicyNamed(policy) + " sends only released images");
        }
        return check;  // sent from the bytes read, but no list allowed it
    }
    check.listSha256 = Sha256Hex(listBytes.data(), listBytes.size());
    check.keyId = key;
    if (key.empty() && !policy.releaseKeys.empty()) {
        // Not required, but a list signed by a trusted key is worth naming in the row.
        std::vector<TrustedKey> keys;
        std::string signature;
        if (LoadTrustedKeys(policy.releaseKeys, &keys, &error) &&
            ReadSmallFile(SignaturePath(list), 4096, &signature, &error)) {
            if (const TrustedKey* signer = SignedBy(keys, listBytes, signature)) {
                check.keyId = signer->id;
            }
        }
    }
    return check;
}

ImageAdmission Admit(const ReleaseCheck& check, DownloadState& state) {
    state.imageBytes = check.bytes;
    return check.admission;
}

bool CarriesPrefix(const std::string& fileName, std::string_view prefix) {
    return fileName.size() >= prefix.size() &&
           EqualsIgnoringCase(std::string_view(fileName).substr(0, prefix.size()), prefix);
}

}  // namespace romlift::record
