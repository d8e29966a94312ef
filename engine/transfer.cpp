#include "transfer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <limits>

#include "download_host.h"
#include "download_state.h"
#include "protocol.h"
#include "serial_link.h"
#include "texts.h"

namespace romlift {
namespace {

using Buffer = std::array<uint8_t, protocol::kTxBuffer>;

void CloseAll(DownloadState& state) {
    ClosePort(state);
    CloseImage(state);
}

// The image's size in bytes, or false when it is not a regular file that can be read. Firmware
// that does not fit the 32-bit size of the exchange is refused rather than sent cut short.
bool ImageSize(const DownloadState& state, uint32_t& size) {
    const int fd = OpenRegularFile(state.imageFileName);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0 && st.st_size >= 0 &&
                    static_cast<uint64_t>(st.st_size) <= std::numeric_limits<uint32_t>::max();
    ::close(fd);
    size = ok ? static_cast<uint32_t>(st.st_size) : 0;
    return ok;
}

std::string_view HeaderRefusal(uint8_t answer) {
    switch (answer) {
        case protocol::kWrongModel:
            return texts::kWrongModel;
        case protocol::kTouchScreenMismatch:
            return texts::kTouchScreen;
        case protocol::kLogMemMismatch:
            return texts::kLogMem;
        case protocol::kAppMemMismatch:
            return texts::kAppMem;
        default:  // 0x00, a time-out, and any answer the unit is not known to give
            return texts::kInvalidResponse;
    }
}

enum class FramesOutcome { Confirmed, Failed, ImageShort };

// Frames and end frame.
FramesOutcome SendFrames(DownloadState& state, DownloadHost& host, uint32_t imageSize) {
    state.frameCounter = 1;
    state.totalFrames = protocol::TotalFrames(imageSize);
    int64_t remaining = imageSize;
    uint32_t offset = 0;
    uint8_t runningXor = 0;
    Buffer tx{};
    state.phase = LinePhase::Frame;
    for (;;) {
        const size_t n = remaining < static_cast<int64_t>(protocol::kFrameData)
                             ? static_cast<size_t>(remaining)
                             : protocol::kFrameData;
        tx.fill(0);
        tx[0] = static_cast<uint8_t>(n);
        tx[1] = static_cast<uint8_t>(offset & 0xFF);
        tx[2] = static_cast<uint8_t>((offset >> 8) & 0xFF);
        if (!FirmwareHelper::ReadChunk(state.image, tx.data() + 3, n, protocol::kChunkCapacity)) {
            host.SetStatus(texts::kReadChunkFailed);
            return FramesOutcome::ImageShort;
        }
        uint8_t frameXor = 0;
        FirmwareHelper::XorBlock(tx.data() + 3, n, frameXor, runningXor);
        tx[3 + n] = frameXor;
        if (WritePort(state, host, tx.data(), n + protocol::kFrameOverhead) == 0) {
            return FramesOutcome::Failed;
        }
        if (ReadResponse(state, host, 1, protocol::kAccepted, protocol::kFrameError,
                         kAnswerWaitMs) != protocol::kAccepted) {
            return FramesOutcome::Failed;
        }
        remaining -= static_cast<int64_t>(n);
        if (remaining <= 0) {
            break;
        }
        offset += protocol::kFrameData;
        ++state.frameCounter;
        const double q =
            static_cast<double>(state.totalFrames) / static_cast<double>(state.frameCounter);
        const double w = 100.0 / q;
        host.PaintProgress(static_cast<int>(2.0 * w));
    }

    state.phase = LinePhase::End;
    tx.fill(0);
    tx[0] = protocol::kEndMark;
    tx[1] = runningXor;
    if (WritePort(state, host, tx.data(), 2) == 0) {
        return FramesOutcome::Failed;
    }
    const bool confirmed = ReadResponse(state, host, 1, protocol::kEndMark, protocol::kFrameError,
                                        kAnswerWaitMs) == protocol::kEndMark;
    host.SetStatus(confirmed ? texts::kCompleted : texts::kFailed);
    host.InvalidateAll();
    return confirmed ? FramesOutcome::Confirmed : FramesOutcome::Failed;
}

}  // namespace

bool TransferImage(DownloadState& state, DownloadHost& host) {
    state.frameCounter = 0;
    state.handshake = protocol::kWakeUp;
    // From here on the phase tells how far this attempt got, not an earlier one.
    state.phase = LinePhase::WakeUp;

    host.ShowWaitCursor(true);
    struct CursorBack {
        DownloadHost& host;
        ~CursorBack() { host.ShowWaitCursor(false); }
    } cursorBack{host};
    host.ClearProgress();
    host.SetStatus(texts::Downloading(state.chosenFileName));

    uint32_t imageSize = 0;
    if (!ImageSize(state, imageSize)) {
        host.SetStatus(texts::kCannotOpenFile);
        return false;
    }
    OpenImage(state, state.imageFileName);
    if (IsUnusable(state)) {
        CloseImage(state);
        host.SetStatus(texts::kStreamCannotOpen);
        return false;
    }
    if (!OpenPort(state, host)) {
        return false;
    }

    state.phase = LinePhase::WakeUp;
    Buffer tx{};
    tx[0] = state.handshake;
    if (WritePort(state, host, tx.data(), 1) == 0) {
        CloseAll(state);
        return false;
    }
    if (ReadResponse(state, host, 1, protocol::kWakeUp, 0, kAnswerWaitMs) != protocol::kWakeUp) {
        CloseAll(state);
        return false;
    }

    ClosePort(state);
    if (!OpenPort(state, host)) {
        CloseImage(state);
        return false;
    }

    state.phase = LinePhase::Header;
    tx.fill(0);
    tx[0] = protocol::kHeaderLength;
    FirmwareHelper::BuildHeader(state.unitTypeCode, tx.data() + 1);
    if (WritePort(state, host, tx.data(), protocol::kHeaderLength) == 0) {
        CloseAll(state);
        return false;
    }
    const uint8_t headerAnswer = ReadResponse(state, host, 1, 0, 0, kAnswerWaitMs);
    if (headerAnswer != protocol::kAccepted) {
        host.SetStatus(HeaderRefusal(headerAnswer));
        CloseAll(state);
        return false;
    }

    state.handshake = FirmwareHelper::FileChecksum(state.image, imageSize);
    CloseImage(state);
    OpenImage(state, state.imageFileName);

    state.phase = LinePhase::Checksum;
    tx.fill(0);
    tx[0] = state.handshake;
    if (WritePort(state, host, tx.data(), 1) == 0) {
        CloseAll(state);
        return false;
    }
    if (ReadResponse(state, host, 1, state.handshake, 0, kAnswerWaitMs) != state.handshake) {
        CloseAll(state);
        return false;
    }

    const FramesOutcome outcome = SendFrames(state, host, imageSize);
    CloseAll(state);
    if (outcome != FramesOutcome::ImageShort) {
        host.ClearProgress();
    }
    return outcome == FramesOutcome::Confirmed;
}

}  // namespace romlift
