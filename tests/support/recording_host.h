// A front end for tests: records every call the engine makes, in order.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "download_host.h"
#include "scratch_dir.h"

namespace romlift::testing {

struct HostEvent {
    enum Kind { Status, Paint, Clear, Choose, Cursor, Invalidate } kind;
    std::string text;  // Status
    int value = 0;     // Paint: x; Cursor: 1 on, 0 off
    int frame = 0;     // frame counter at the time of the call
};

class RecordingHost final : public DownloadHost {
  public:
    explicit RecordingHost(const DownloadState* state = nullptr) : state_(state) {}

    void SetStatus(std::string_view text) override;
    void PaintProgress(int x) override;
    void ClearProgress() override;
    bool ChooseFirmware(DownloadState& state) override;
    void ShowWaitCursor(bool on) override;
    void InvalidateAll() override;
    ImageAdmission AdmitImage(DownloadState& state) override {
        return onAdmit ? onAdmit(state) : ImageAdmission::Admitted;
    }
    bool BeginSending(DownloadState& state) override {
        return !onBeginSending || onBeginSending(state);
    }

    std::vector<std::string> Statuses() const;
    std::vector<int> Paints() const;
    int Count(HostEvent::Kind kind) const;

    std::vector<HostEvent> events;
    // Called after each paint, with the frame counter: lets a test act mid-transfer.
    std::function<void(int frame)> onPaint;
    // What ChooseFirmware does; default: keep the locator's choice.
    std::function<bool(DownloadState&)> onChoose;
    // What AdmitImage and BeginSending do; default: admit the file, let the first byte go.
    std::function<ImageAdmission(DownloadState&)> onAdmit;
    std::function<bool(DownloadState&)> onBeginSending;

  private:
    int Frame() const;
    const DownloadState* state_;
};

}  // namespace romlift::testing
