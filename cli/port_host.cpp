#include "port_host.h"

#include "download_state.h"
#include "protocol.h"
#include "texts.h"

namespace romlift::cli {

PortHost::PortHost(const DownloadState& state, std::string portName, Reporter& reporter,
                   uint64_t imageSize, const Interrupt& interrupt)
    : state_(state),
      port_(std::move(portName)),
      reporter_(reporter),
      imageSize_(imageSize),
      interrupt_(interrupt) {}

void PortHost::SetStatus(std::string_view text) {
    // A unit that confirmed the end frame just as the signal came has its download.
    if (interrupt_.Requested() && text != texts::kCompleted) {
        return;
    }
    if (text == texts::kCompleted && state_.totalFrames > 0) {
        // The engine paints before each frame and not after the last; a unit that confirmed the
        // end frame has every frame, and the bar and the log say so before the text does.
        Report(state_.totalFrames);
    }
    last_ = std::string(text);
    reporter_.Status(port_, text);
}

void PortHost::PaintProgress(int) {
    // The counter names the frame about to go out; the ones before it are confirmed.
    Report(state_.frameCounter - 1);
}

void PortHost::Report(int framesConfirmed) {
    Progress p;
    p.framesConfirmed = framesConfirmed;
    p.totalFrames = state_.totalFrames;
    p.bytesSent = std::min<uint64_t>(
        static_cast<uint64_t>(p.framesConfirmed) * protocol::kFrameData, imageSize_);
    p.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - started_)
                      .count();
    p.remainingMs = p.framesConfirmed > 0
                        ? p.elapsedMs * (p.totalFrames - p.framesConfirmed) / p.framesConfirmed
                        : 0;
    reporter_.Step(port_, p);
}

void PortHost::ClearProgress() {
    if (state_.frameCounter == 0) {
        started_ = std::chrono::steady_clock::now();  // an attempt begins
    }
    reporter_.EndSteps(port_);
}

bool PortHost::ChooseFirmware(DownloadState& state) {
    state.cancel = 1;  // the image was chosen before any port was opened
    return false;
}

}  // namespace romlift::cli
