#include "serial_link.h"

#include <array>

#include "download_host.h"
#include "download_state.h"
#include "protocol.h"
#include "texts.h"

namespace romlift {

namespace {

// Keeps what a front end needs to explain a dead line; the status text stays the unit's own.
// `otherwise` is the cause when the line is neither stopped nor gone.
void NoteLineLost(DownloadState& state, EndCause otherwise) {
    state.lineAnswer = -1;
    state.lineCause = state.Line().StopRequested()    ? EndCause::Stopped
                      : state.Line().LineError() != 0 ? EndCause::LineLost
                                                      : otherwise;
    if (state.Line().LineError() != 0) {
        state.portFault = PortFault{PortFault::Kind::HungUp,
                                    SerialLine::OpenError::None,
                                    state.Line().LineError(),
                                    state.openedDevice,
                                    {}};
    }
}

}  // namespace

bool OpenPort(DownloadState& state, DownloadHost& host) {
    state.portFault = PortFault{};
    state.openedDevice = PortDevice(state);
    if (state.openedDevice.empty()) {
        state.portFault.kind = PortFault::Kind::NoDevice;
        state.portFault.detail = NoDeviceDetail(state);
    }
    if (state.portFault.kind == PortFault::Kind::None) {
        const SerialLine::OpenError error = state.Line().Open(state.openedDevice);
        if (error == SerialLine::OpenError::None) {
            if (state.tap != nullptr) {
                state.tap->Opened(state.Line());
            }
            return true;
        }
        state.portFault = PortFault{
            PortFault::Kind::OpenFailed, error, state.Line().Errno(), state.openedDevice, {}};
    }
    host.SetStatus(texts::CannotOpenPort(PortName(state)));
    CloseImage(state);
    return false;
}

void ClosePort(DownloadState& state) {
    state.Line().Close();
}

uint8_t WritePort(DownloadState& state, DownloadHost& host, const uint8_t* bytes, size_t count) {
    SerialLine& line = state.Line();
    line.Drain(Deadline::AfterMs(state.Time(), state.timings.drainWaitMs));
    const Deadline deadline = Deadline::AfterMs(state.Time(), state.timings.writeWaitMs);
    const size_t sent = line.WriteAll(bytes, count, deadline);
    if (state.tap != nullptr && sent > 0) {
        state.tap->Sent(state.phase, bytes, sent);
    }
    if (sent == count) {
        state.lineCause = EndCause::None;
        return 1;
    }
    NoteLineLost(state, EndCause::WriteFailed);
    host.SetStatus(texts::kWriteError);
    return 0;
}

uint8_t ReadResponse(DownloadState& state, DownloadHost& host, int count, uint8_t expected,
                     uint8_t errorByte, uint32_t timeoutMs) {
    // The pause of 4*count, 20 and 4*count ms, each "more than", slept as one wait: nothing
    // happens between them, and every wake-up costs its own overshoot.
    SerialLine& line = state.Line();
    const uint32_t half = state.timings.pausePerByteMs * static_cast<uint32_t>(count);
    SleepUntil(Deadline::AfterMs(state.Time(), half).Plus(state.timings.pauseSettleMs).Plus(half));

    const Deadline deadline = Deadline::AfterMs(state.Time(), timeoutMs);
    std::array<uint8_t, protocol::kRxBuffer> reply{};
    const size_t want =
        count < 1 ? 1 : (static_cast<size_t>(count) < reply.size() ? count : reply.size());
    bool lineGone = false;
    for (;;) {
        reply[0] = reply[1] = reply[2] = reply[3] = 0;
        const ssize_t got = line.ReadAvailable(reply.data(), want);
        if (got > 0) {
            if (state.tap != nullptr) {
                state.tap->Received(state.phase, reply.data(), static_cast<size_t>(got));
            }
            const uint8_t b = reply[0];
            state.lineCause = EndCause::None;
            state.lineAnswer = b;
            if (expected != 0 && b == expected) {
                return b;
            }
            if (errorByte != 0 && b == errorByte) {
                state.lineCause = EndCause::Refused;
                if (expected == protocol::kEndMark) {
                    host.SetStatus(texts::kCrcMismatch);
                } else if (expected == protocol::kAccepted) {
                    host.SetStatus(texts::WrongFrameNumber(state.frameCounter));
                } else {
                    host.SetStatus(texts::kInvalidResponse);
                }
                return b;
            }
            if (expected == 0 && errorByte == 0) {
                return b;
            }
            state.lineCause = EndCause::UnexpectedAnswer;
            return 0;
        }
        if (got < 0 || lineGone) {
            // A vanished device (read error, hang-up: a pulled adapter) reads as "nothing" at
            // once and forever; wait out the answer time asleep instead of spinning on it.
            deadline.On().SleepUntilNs(deadline.Ns(), line.StopSignal());
        }
        if (deadline.Passed() || state.Line().StopRequested()) {
            break;
        }
        // Sleep until a byte arrives; after a hang-up, one more read takes what came with it.
        const SerialLine::Wait wait = line.WaitReadable(deadline);
        if (wait == SerialLine::Wait::Stopped) {
            break;
        }
        lineGone = wait == SerialLine::Wait::Hangup;
    }

    NoteLineLost(state, EndCause::Silent);

    // Only before the first frame, and only while waiting for the wake-up echo (or a checksum
    // that happens to equal it), is the short text shown.
    if (state.frameCounter <= 0 && (expected == protocol::kWakeUp || expected == 0xEE)) {
        host.SetStatus(texts::kNotRespondingShort);
    } else {
        host.SetStatus(texts::NotRespondingAfterFrame(state.frameCounter));
    }
    return 0;
}

}  // namespace romlift
