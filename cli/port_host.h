// The engine's front end for one port's attempt on the command line.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "download_host.h"
#include "interrupt.h"
#include "reporter.h"

namespace romlift {
struct DownloadState;
}

namespace romlift::cli {

class PortHost final : public DownloadHost {
  public:
    // After `interrupt`, the engine's account of the attempt it was made to end (a write that
    // failed, a unit "not responding") is not shown: the outcome says it was interrupted.
    PortHost(const DownloadState& state, std::string portName, Reporter& reporter,
             uint64_t imageSize, const Interrupt& interrupt);

    void SetStatus(std::string_view text) override;
    void PaintProgress(int x) override;
    void ClearProgress() override;
    bool ChooseFirmware(DownloadState& state) override;
    void ShowWaitCursor(bool) override {}
    ImageAdmission AdmitImage(DownloadState& state) override {
        return admitImage ? admitImage(state) : ImageAdmission::Admitted;
    }
    bool BeginSending(DownloadState& state) override {
        return !beginSending || beginSending(state);
    }

    // Asked once the image is located, before anything opens: the run's verdict on the image.
    std::function<ImageAdmission(DownloadState&)> admitImage;

    // Asked once the image and port are open, before the first byte: false keeps the attempt
    // from sending (the record could not take its row).
    std::function<bool(DownloadState&)> beginSending;

    const std::string& LastStatus() const { return last_; }

  private:
    void Report(int framesConfirmed);

    const DownloadState& state_;
    std::string port_;
    Reporter& reporter_;
    uint64_t imageSize_;
    const Interrupt& interrupt_;
    std::string last_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace romlift::cli
