// The engine's front end on a terminal: status texts and frame progress on standard error.
#pragma once

#include <cstdio>
#include <string>

#include "download_host.h"

namespace romlift {
struct DownloadState;
}

namespace romlift::cli {

class ConsoleHost final : public DownloadHost {
public:
    // `out` is usually stderr; `interactive` draws a bar with carriage returns, otherwise each
    // progress step that changes the percentage is one plain line.
    ConsoleHost(const DownloadState& state, std::FILE* out, bool interactive);

    void SetStatus(std::string_view text) override;
    void PaintProgress(int x) override;
    void ClearProgress() override;
    bool ChooseFirmware(DownloadState& state) override;
    void ShowWaitCursor(bool) override {}

    // Ends a bar line still open on the terminal.
    void Finish();

private:
    const DownloadState& state_;
    std::FILE* out_;
    bool interactive_;
    bool barOpen_ = false;
    int lastPercent_ = -1;
};

}  // namespace romlift::cli
