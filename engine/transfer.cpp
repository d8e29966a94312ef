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

// Notes where the attempt ended and why. Without a cause of its own, the step ended by what the
// line last came to (a time-out, a refusal, a stop, a vanished device).
void EndAt(DownloadState& state, AttemptStep step, EndCause cause = EndCause::None) {
    AttemptOutcome& o = state.outcome;
    o.step = step;
    o.result = step == AttemptStep::Done ? AttemptResult::Confirmed : AttemptResult::Failed;
    o.answer = -1;
    if (step == AttemptStep::Done) {
        o.cause = EndCause::None;
    } else if (cause != EndCause::None) {
        o.cause = cause;
    } else {
        o.cause = state.lineCause == EndCause::None ? EndCause::UnexpectedAnswer : state.lineCause;
        o.answer = state.lineAnswer;
    }
    if (o.cause == EndCause::Silent || o.cause == EndCause::Stopped ||
        o.cause == EndCause::WriteFailed || o.cause == EndCause::LineLost) {
        o.answer = -1;
    }
    o.frame = state.frameCounter;
    if (state.totalFrames > 0 || step >= AttemptStep::Frame) {
        o.totalFrames = state.totalFrames;
    }
    o.portFault = state.portFault;
}

// Answers to the header that the unit is known to give when it turns a download down.
bool KnownHeaderRefusal(uint8_t answer) {
    switch (answer) {
        case 0x00:
        case protocol::kWrongModel:
        case protocol::kTouchScreenMismatch:
        case protocol::kLogMemMismatch:
        case protocol::kAppMemMismatch:
            return true;
        default:
            return false;
    }
}

// The image's size in bytes, or false when it is not a regular file that can be read. Firmware
// that does not fit the 32-bit size of the exchange is refused rather than sent cut short.
bool ImageSize(const DownloadState& state, uint32_t& size) {
    if (state.imageBytes != nullptr) {
        const bool ok = state.imageBytes->size() <= std::numeric_limits<uint32_t>::max();
        size = ok ? static_cast<uint32_t>(state.imageBytes->size()) : 0;
        return ok;
    }
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
            EndAt(state, AttemptStep::Frame, EndCause::ImageShort);
            return FramesOutcome::ImageShort;
        }
        uint8_t frameXor = 0;
        FirmwareHelper::XorBlock(tx.data() + 3, n, frameXor, runningXor);
        tx[3 + n] = frameXor;
        if (WritePort(state, host, tx.data(), n + protocol::kFrameOverhead) == 0 ||
            ReadResponse(state, host, 1, protocol::kAccepted, protocol::kFrameError,
                         state.timings.answerWaitMs) != protocol::kAccepted) {
            EndAt(state, AttemptStep::Frame);
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
        EndAt(state, AttemptStep::End);
        return FramesOutcome::Failed;
    }
    const bool confirmed = ReadResponse(state, host, 1, protocol::kEndMark, protocol::kFrameError,
                                        state.timings.answerWaitMs) == protocol::kEndMark;
    EndAt(state, confirmed ? AttemptStep::Done : AttemptStep::End);
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

    state.outcome.totalFrames = 0;
    if (!state.imageFileName.empty()) {
        const ImageAdmission admission = host.AdmitImage(state);
        if (admission != ImageAdmission::Admitted) {
            host.SetStatus(texts::kCannotOpenFile);
            EndAt(state, AttemptStep::Image,
                  admission == ImageAdmission::Refused ? EndCause::ImageRefused
                                                       : EndCause::ImageNotOpened);
            return false;
        }
    }
    uint32_t imageSize = 0;
    if (!ImageSize(state, imageSize)) {
        host.SetStatus(texts::kCannotOpenFile);
        EndAt(state, AttemptStep::Image,
              state.imageFileName.empty() ? EndCause::NoImage : EndCause::ImageNotOpened);
        return false;
    }
    state.outcome.totalFrames = protocol::TotalFrames(imageSize);
    OpenImage(state, state.imageFileName);
    if (IsUnusable(state)) {
        CloseImage(state);
        host.SetStatus(texts::kStreamCannotOpen);
        EndAt(state, AttemptStep::Image, EndCause::ImageStream);
        return false;
    }
    if (!OpenPort(state, host)) {
        EndAt(state, AttemptStep::Port, EndCause::PortNotOpened);
        return false;
    }
    if (!host.BeginSending(state)) {
        CloseAll(state);
        EndAt(state, AttemptStep::Start, EndCause::NotStarted);
        return false;
    }

    state.phase = LinePhase::WakeUp;
    Buffer tx{};
    tx[0] = state.handshake;
    if (WritePort(state, host, tx.data(), 1) == 0 ||
        ReadResponse(state, host, 1, protocol::kWakeUp, 0, state.timings.answerWaitMs) !=
            protocol::kWakeUp) {
        CloseAll(state);
        EndAt(state, AttemptStep::WakeUp);
        return false;
    }

    ClosePort(state);
    if (!OpenPort(state, host)) {
        CloseImage(state);
        EndAt(state, AttemptStep::Port, EndCause::PortNotOpened);
        return false;
    }

    state.phase = LinePhase::Header;
    tx.fill(0);
    tx[0] = protocol::kHeaderLength;
    FirmwareHelper::BuildHeader(state.unitTypeCode, tx.data() + 1);
    if (WritePort(state, host, tx.data(), protocol::kHeaderLength) == 0) {
        CloseAll(state);
        EndAt(state, AttemptStep::Header);
        return false;
    }
    const uint8_t headerAnswer = ReadResponse(state, host, 1, 0, 0, state.timings.answerWaitMs);
    if (headerAnswer != protocol::kAccepted) {
        host.SetStatus(HeaderRefusal(headerAnswer));
        CloseAll(state);
        // A time-out reads as 0x00 on the status line; the outcome keeps them apart.
        EndAt(state, AttemptStep::Header,
              state.lineCause != EndCause::None  ? EndCause::None
              : KnownHeaderRefusal(headerAnswer) ? EndCause::Refused
                                                 : EndCause::UnexpectedAnswer);
        if (state.lineCause == EndCause::None) {
            state.outcome.answer = headerAnswer;
        }
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
        EndAt(state, AttemptStep::Checksum);
        return false;
    }
    const uint8_t echo =
        ReadResponse(state, host, 1, state.handshake, 0, state.timings.answerWaitMs);
    if (echo != state.handshake) {
        CloseAll(state);
        // A checksum of 0 is read with no expected byte: a wrong echo comes back as itself.
        EndAt(state, AttemptStep::Checksum,
              state.lineCause == EndCause::None ? EndCause::UnexpectedAnswer : EndCause::None);
        if (state.lineCause == EndCause::None) {
            state.outcome.answer = echo;
        }
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
