#include "release_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "firmware_locator.h"
#include "image_digest.h"
#include "policy.h"
#include "release_check.h"
#include "release_list.h"

namespace romlift::cli {
namespace {

namespace fs = std::filesystem;

constexpr size_t kListLimit = 16 << 20;

int Fail(std::FILE* err, const std::string& why, int status) {
    std::fprintf(err, "romlift-cli: %s\n", why.c_str());
    return status;
}

// A name as sha256sum shows it: a line break or backslash in it cannot break the line.
std::string Shown(const std::string& name) {
    std::string s;
    for (const char c : name) {
        s += c == '\n' ? "\\n" : c == '\\' ? "\\\\" : std::string(1, c);
    }
    return s;
}

// Writes `bytes` to a fresh file beside `path`, readable by all (the operators' downloads read
// the list), ready to be renamed over it; "" with *why on failure.
std::string WriteBeside(const fs::path& path, const std::string& bytes, std::string* why) {
    std::string tmp = path.string() + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        *why = path.parent_path().string() + ": " + std::strerror(errno);
        return {};
    }
    bool ok = ::fchmod(fd, 0644) == 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    const int error = errno;
    if (::close(fd) != 0 || !ok) {
        *why = tmp + ": " + std::strerror(ok ? errno : error);
        ::unlink(tmp.c_str());
        return {};
    }
    return tmp;
}

int Sign(const Options& o, std::FILE* out, std::FILE* err) {
    const fs::path dir = *o.drivers;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        return Fail(err, dir.string() + ": not a folder", 2);
    }
    const std::vector<FirmwareFile> images = FindFirmware(dir, "");
    if (images.empty()) {
        return Fail(err, dir.string() + ": no .abs images to sign", 1);
    }
    std::string list;
    for (const FirmwareFile& image : images) {
        const std::string sha = record::FileSha256(dir / image.name);
        if (sha.empty()) {
            return Fail(err, (dir / image.name).string() + ": cannot be read; nothing was signed",
                        1);
        }
        list += record::ReleaseLine(image.name, sha);
    }
    std::string signature, keyId, why;
    if (!record::SignWithKey(o.signingKey, list, &signature, &keyId, &why)) {
        return Fail(err, why, 2);
    }
    const fs::path listPath = dir / record::kReleaseListName;
    const fs::path sigPath = record::SignaturePath(listPath);
    const std::string listTmp = WriteBeside(listPath, list, &why);
    const std::string sigTmp =
        listTmp.empty() ? std::string() : WriteBeside(sigPath, signature, &why);
    if (sigTmp.empty()) {
        if (!listTmp.empty()) {
            ::unlink(listTmp.c_str());
        }
        return Fail(err, why + "; nothing was signed", 1);
    }
    // Between the two renames a download sees a list and a signature that do not match, and
    // refuses: never a list taken for signed that is not.
    if (::rename(listTmp.c_str(), listPath.c_str()) != 0 ||
        ::rename(sigTmp.c_str(), sigPath.c_str()) != 0) {
        why = std::strerror(errno);
        ::unlink(listTmp.c_str());
        ::unlink(sigTmp.c_str());
        return Fail(err, listPath.string() + ": " + why, 1);
    }
    std::fputs(list.c_str(), out);
    std::fprintf(out, "%s: %zu image%s, signed by key %s\n", listPath.c_str(), images.size(),
                 images.size() == 1 ? "" : "s", keyId.c_str());
    return 0;
}

int Verify(const Options& o, std::FILE* out, std::FILE* err) {
    const fs::path dir = o.drivers ? *o.drivers : fs::path(ProgramFolder()) / "drivers";
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        return Fail(err, dir.string() + ": not a folder", 2);
    }
    record::Policy policy;
    std::string why;
    if (!record::LoadPolicy(record::PolicyPath(), &policy, &why)) {
        return Fail(err, why, 2);
    }
    bool named = false;
    const fs::path listPath = record::ReleaseListFor(policy, {}, dir, &named);
    std::string list;
    std::vector<record::ListedImage> listed;
    if (!record::ReadSmallFile(listPath, kListLimit, &list, &why)) {
        return Fail(err, "no release list: " + why, 1);
    }
    if (!record::ParseReleaseList(list, &listed, &why)) {
        return Fail(err, listPath.string() + ": " + why, 1);
    }
    bool allHold = true;
    for (const record::ListedImage& image : listed) {
        const fs::path path = dir / image.name;
        std::string failure;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            failure = errno == ENOENT ? "no such file" : std::strerror(errno);
        } else if (!S_ISREG(st.st_mode)) {
            failure = "not a file";
        } else {
            const std::string sha = record::FileSha256(path);
            failure = sha.empty()           ? "cannot be read"
                      : sha != image.sha256 ? "its SHA-256 differs from the list's"
                                            : "";
        }
        allHold &= failure.empty();
        std::fprintf(out, "%s: %s\n", Shown(image.name).c_str(),
                     failure.empty() ? "OK" : ("FAILED (" + failure + ")").c_str());
    }

    const fs::path sigPath = record::SignaturePath(listPath);
    std::string signature, verdict;
    std::vector<record::TrustedKey> keys;
    bool missing = false;
    if (!record::ReadSmallFile(sigPath, 4096, &signature, &why, &missing)) {
        verdict =
            missing ? "FAILED (not signed: no " + sigPath.string() + ")" : "FAILED (" + why + ")";
    } else if (policy.releaseKeys.empty()) {
        verdict = "FAILED (no trusted keys: the station's policy names no release_keys)";
    } else if (!record::LoadTrustedKeys(policy.releaseKeys, &keys, &why)) {
        verdict = "FAILED (the trusted keys do not read: " + why + ")";
    } else if (const record::TrustedKey* key = record::SignedBy(keys, list, signature)) {
        verdict = "OK, key " + key->id + " (" + key->file + ")";
    } else {
        verdict = "FAILED (not by a trusted key of " + policy.releaseKeys +
                  ", or the list was changed after it was signed)";
    }
    std::fprintf(out, "signature: %s\n", verdict.c_str());
    return allHold && verdict.rfind("OK", 0) == 0 ? 0 : 1;
}

}  // namespace

int RunRelease(const Options& o, std::FILE* out, std::FILE* err) {
    return o.releaseAction == Options::ReleaseAction::Sign ? Sign(o, out, err)
                                                           : Verify(o, out, err);
}

}  // namespace romlift::cli
