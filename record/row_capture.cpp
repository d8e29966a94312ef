#include "row_capture.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <vector>

#include "download_state.h"
#include "image_digest.h"
#include "models.h"
#include "protocol.h"
#include "serial_devices.h"
#include "utc_time.h"

namespace romlift::record {

AttemptTimer::AttemptTimer()
    : startWall_(std::chrono::system_clock::now()),
      endWall_(startWall_),
      start_(std::chrono::steady_clock::now()),
      end_(start_) {}

void AttemptTimer::Stop() {
    end_ = std::chrono::steady_clock::now();
    endWall_ =
        startWall_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(end_ - start_);
}

std::string AttemptTimer::StartedUtc() const {
    return FormatUtc(startWall_);
}
std::string AttemptTimer::EndedUtc() const {
    return FormatUtc(endWall_);
}
int64_t AttemptTimer::DurationMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(end_ - start_).count();
}

namespace {

std::string ModelName(const DownloadState& state) {
    for (const UnitModel& m : Models()) {
        if (m.prefix == state.modelPrefix && m.typeCode == state.unitTypeCode) {
            return std::string(m.displayName);
        }
    }
    return state.modelPrefix;
}

bool SameFile(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) {
        return false;
    }
    if (a == b) {
        return true;
    }
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// The image's size and SHA-256 for an attempt that streamed it from its file.
void NameImageByFile(const DownloadState& state, ImageDigest* digest, bool unfinished,
                     DownloadRow* row) {
    // Once every frame went out the digest has seen the whole image, whatever the file holds
    // now; before that the file tells.
    const AttemptStep step = state.outcome.step;
    const bool allSent = !unfinished && (step == AttemptStep::End || step == AttemptStep::Done);
    struct stat st {};
    const bool fileTells = (digest == nullptr || !allSent) &&
                           ::stat(state.imageFileName.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (fileTells) {
        row->imageSize = st.st_size;
    } else if (digest != nullptr) {
        row->imageSize = static_cast<int64_t>(digest->Bytes());
    }
    if (!unfinished && step == AttemptStep::Image) {
        // Refused before a byte was read for the unit (a folder, a device, over 32 bits): its
        // contents name nothing that was sent, and hashing gigabytes would hold up the row.
        row->imageSha256.clear();
    } else if (unfinished || digest == nullptr) {
        row->imageSha256 = fileTells ? FileSha256(state.imageFileName) : std::string();
    } else {
        row->imageSha256 =
            digest->FinishHex(state.imageFileName, static_cast<uint64_t>(row->imageSize));
    }
}

}  // namespace

std::string AdapterOf(const std::string& device, const ports::PortsPaths& paths) {
    if (device.empty()) {
        return {};
    }
    for (const ports::SerialDevice& d : ports::ListSerialDevices(paths)) {
        if (!d.adapter || d.id.vendor.empty()) {
            continue;
        }
        if (SameFile(device, d.path) || (!d.byId.empty() && device == d.byId)) {
            std::string text = d.id.vendor + ":" + d.id.product;
            if (!d.id.serial.empty()) {
                text += " serial " + d.id.serial;
            }
            return text;
        }
    }
    return {};
}

DownloadRow CaptureRow(const DownloadState& state, const AttemptContext& context,
                       ImageDigest* digest) {
    DownloadRow row;
    row.rowKey = NewRowKey();
    if (context.timer != nullptr) {
        row.startedUtc = context.timer->StartedUtc();
        if (context.outcome != Outcome::Unfinished) {
            row.endedUtc = context.timer->EndedUtc();
            row.durationMs = context.timer->DurationMs();
        }
    } else {
        row.startedUtc = row.endedUtc = FormatUtc(std::chrono::system_clock::now());
    }
    row.host = HostName();
    row.user = UserName();
    row.program = context.program;
    row.version = context.version;
    row.port = PortName(state);
    row.device = state.openedDevice;
    row.adapter =
        context.adapter.empty() ? AdapterOf(state.openedDevice, context.paths) : context.adapter;
    row.model = ModelName(state);
    row.typeCode = state.unitTypeCode;
    // Months later a relative name says nothing: keep the whole path (the folder is still the
    // one the name was given in).
    std::error_code cwdError;
    const std::filesystem::path whole =
        state.imageFileName.empty() ? state.imageFileName
                                    : std::filesystem::absolute(state.imageFileName, cwdError);
    row.imagePath = (cwdError ? state.imageFileName : whole).string();

    const bool unfinished = context.outcome == Outcome::Unfinished;
    const AttemptStep step = state.outcome.step;
    if (state.imageBytes != nullptr) {
        // Read once before the attempt: these bytes were sent (or refused), whatever the file
        // holds now.
        row.imageSize = static_cast<int64_t>(state.imageBytes->size());
        row.imageSha256 = Sha256Hex(state.imageBytes->data(), state.imageBytes->size());
    } else {
        NameImageByFile(state, digest, unfinished, &row);
    }

    // The checksum byte exists once the transfer got past the header (phase Checksum or later).
    if (!unfinished && step >= AttemptStep::Checksum) {
        row.imageXor = state.handshake;
    }
    row.framesConfirmed = unfinished ? 0 : FramesConfirmed(state.outcome);
    // An attempt that stopped before the frames still had this many to send.
    row.framesTotal = state.frameCounter > 0 ? state.totalFrames
                      : row.imageSize <= std::numeric_limits<uint32_t>::max()
                          ? protocol::TotalFrames(static_cast<uint32_t>(row.imageSize))
                          : 0;
    row.outcome = context.outcome;
    row.endedAt = unfinished ? std::string() : EndedAtName(state.outcome);
    row.unitSerial = context.unitSerial;
    row.lot = context.lot;
    row.releaseListSha256 = context.releaseListSha256;
    row.releaseKey = context.releaseKey;
    row.statusText = context.statusText;
    row.station = StationName(context.station);
    row.operatorName = OperatorName(context.operatorName);
    return row;
}

std::string HostName() {
    std::vector<char> buf(HOST_NAME_MAX + 1, '\0');
    if (::gethostname(buf.data(), buf.size() - 1) != 0) {
        return {};
    }
    return buf.data();
}

std::string UserName() {
    const uid_t uid = ::geteuid();
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

namespace {

std::string FromEnvironment(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

}  // namespace

std::string StationName(const std::string& given) {
    if (!given.empty()) {
        return given;
    }
    std::string v = FromEnvironment("ROMLIFT_STATION");
    return v.empty() ? HostName() : v;
}

std::string OperatorName(const std::string& given) {
    if (!given.empty()) {
        return given;
    }
    std::string v = FromEnvironment("ROMLIFT_OPERATOR");
    return v.empty() ? UserName() : v;
}

std::string NameProblem(std::string_view name) {
    size_t characters = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool c1 = c == 0xC2 && i + 1 < name.size() &&
                        static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(name[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F || c1) {
            return "holds a control character (a line break, tab, escape or the like)";
        }
        characters += (c & 0xC0) != 0x80 ? 1 : 0;
    }
    if (characters > kMaxNameLength) {
        return "is longer than " + std::to_string(kMaxNameLength) + " characters (" +
               std::to_string(characters) + ")";
    }
    return {};
}

}  // namespace romlift::record
