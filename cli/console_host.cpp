#include "console_host.h"

#include "download_state.h"

namespace romlift::cli {

ConsoleHost::ConsoleHost(const DownloadState& state, std::FILE* out, bool interactive)
    : state_(state), out_(out), interactive_(interactive) {}

void ConsoleHost::Finish() {
    if (barOpen_) {
        std::fputc('\n', out_);
        barOpen_ = false;
    }
    std::fflush(out_);
}

void ConsoleHost::SetStatus(std::string_view text) {
    Finish();
    // Written as bytes: a file name in the text may hold '%' or any other byte.
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void ConsoleHost::PaintProgress(int) {
    const int total = state_.totalFrames;
    // The counter names the frame about to go out; the ones before it are confirmed.
    const int done = state_.frameCounter - 1;
    if (total <= 0) {
        return;
    }
    const int percent = static_cast<int>(100LL * done / total);
    if (interactive_) {
        constexpr int kWidth = 40;
        const int filled = static_cast<int>(static_cast<long long>(kWidth) * done / total);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.resize(kWidth, '.');
        std::fprintf(out_, "\r[%s] %3d%%  frame %d of %d", bar.c_str(), percent, done, total);
        barOpen_ = true;
        std::fflush(out_);
        return;
    }
    if (percent != lastPercent_) {
        std::fprintf(out_, "progress: %d of %d frames confirmed (%d%%)\n", done, total, percent);
        std::fflush(out_);
    }
    lastPercent_ = percent;
}

void ConsoleHost::ClearProgress() {
    lastPercent_ = -1;
    Finish();
}

bool ConsoleHost::ChooseFirmware(DownloadState& state) {
    // Images are named with --image; nothing to choose from.
    state.cancel = 1;
    return false;
}

}  // namespace romlift::cli
