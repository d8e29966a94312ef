// Whether one firmware image may reach a unit: the station's release list and trusted keys have
// their say before any port opens. The image is read once here; the transfer sends exactly the
// bytes that were hashed (DownloadState::imageBytes), so a file changed after the check cannot
// slip through.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "download_host.h"
#include "policy.h"

namespace romlift {
struct DownloadState;
}

namespace romlift::record {

struct ReleaseCheck {
    ImageAdmission admission = ImageAdmission::Admitted;
    // For a refusal: a stable kind for scripts ("release-mismatch", "release-unlisted",
    // "release-no-list", "release-unsigned", "release-signature", "release-keys",
    // "release-list") and one sentence for people.
    std::string kind;
    std::string why;
    // The image as read, when a list or the policy asked for it; null otherwise (sent as the
    // file, as without any release list) or when it did not read (NotOpened).
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    std::string imageSha256;   // of `bytes`
    std::string list;          // the release list looked at; "" when none was there
    std::string listSha256;    // the list that allowed the image; "" when none did
    std::string keyId;         // the trusted key that signed that list; "" when unsigned
    std::string listedSha256;  // for "release-mismatch": what the list gives for the image
};

// The release list for images taken from `folder`: the policy's `release`, else `given`
// (--release), else SHA256SUMS in `folder`. `named` tells a list someone named (which must be
// there) from the one looked for beside the images.
std::filesystem::path ReleaseListFor(const Policy& policy, const std::string& given,
                                     const std::filesystem::path& folder, bool* named);

// The rule for `image`, named in a list by its bare file name:
//  - a list present that gives the image another SHA-256, or that does not read: refused;
//  - under require_release, the image must be listed with its SHA-256 in a list whose
//    SHA256SUMS.sig is a signature by a key of release_keys; anything short of that: refused;
//  - with no list and no such policy: admitted untouched, as the file.
// `given` is --release ("" for none). An image that cannot be read where it must be is
// NotOpened: the front end says why as for any image that does not open.
ReleaseCheck CheckRelease(const Policy& policy, const std::filesystem::path& image,
                          const std::string& given);

// The engine's answer for the check: the checked bytes go into `state` (so exactly they are
// sent, or named in the row of a refused attempt).
ImageAdmission Admit(const ReleaseCheck& check, DownloadState& state);

// Whether `fileName` begins with the model's firmware prefix, letter case ignored, as the drivers
// search requires of every image it offers.
bool CarriesPrefix(const std::string& fileName, std::string_view prefix);

}  // namespace romlift::record
