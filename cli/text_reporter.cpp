#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <map>
#include <mutex>
#include <set>

#include "interrupt.h"
#include "reporter.h"

namespace romlift::cli {
namespace {

std::string Bar(int done, int total, int width) {
    const int filled = total > 0 ? static_cast<int>(static_cast<int64_t>(width) * done / total) : 0;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(static_cast<size_t>(width), '.');
    return bar;
}

// `text` cut to `width` bytes, never inside a UTF-8 sequence, so a line never wraps.
std::string Fit(std::string text, size_t width) {
    if (text.size() <= width) {
        return text;
    }
    size_t end = width;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    text.resize(end);
    return text;
}

class TextReporter final : public Reporter {
  public:
    TextReporter(std::FILE* err, bool interactive, const std::vector<std::string>& ports)
        : err_(err),
          multi_(ports.size() > 1),
          bar_(interactive && !multi_),
          gang_(interactive && multi_) {
        size_t labelWidth = 0;
        for (const std::string& p : ports) {
            labelWidth = std::max(labelWidth, p.size());
        }
        for (size_t i = 0; i < ports.size(); ++i) {
            row_[ports[i]] = i;
            std::string label = ports[i];
            label.resize(labelWidth, ' ');
            labels_.push_back(label);
            lines_.push_back(label + "  starting");
        }
        winsize ws{};
        if (gang_ && ::ioctl(::fileno(err_), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) {
            columns_ = ws.ws_col;
        }
    }

    void Status(const std::string& port, std::string_view text) override {
        std::lock_guard lock(mu_);
        EndBar();
        // Each line of a multi-line text gets the port's name, so interleaved ports stay legible.
        std::string block;
        size_t start = 0;
        for (;;) {
            const size_t nl = text.find('\n', start);
            if (multi_) {
                block += port + ": ";
            }
            block += text.substr(start, nl == std::string_view::npos ? nl : nl - start);
            block += '\n';
            if (nl == std::string_view::npos) {
                break;
            }
            start = nl + 1;
        }
        Above(block);
    }

    void Step(const std::string& port, const Progress& p) override {
        std::lock_guard lock(mu_);
        if (p.totalFrames <= 0) {
            return;
        }
        const int percent = static_cast<int>(100LL * p.framesConfirmed / p.totalFrames);
        const int64_t secondsLeft = (p.remainingMs + 999) / 1000;
        if (gang_) {
            SetLine(port, labels_[row_[port]] + "  [" + Bar(p.framesConfirmed, p.totalFrames, 20) +
                              "]  " + std::to_string(p.framesConfirmed) + "/" +
                              std::to_string(p.totalFrames) + "  " + std::to_string(secondsLeft) +
                              " s left");
        } else if (bar_) {
            std::fprintf(err_, "\r[%s] %3d%%  frame %d of %d, %" PRId64 " s left ",
                         Bar(p.framesConfirmed, p.totalFrames, 40).c_str(), percent,
                         p.framesConfirmed, p.totalFrames, secondsLeft);
            barOpen_ = true;
        } else {
            // A log keeps the first and the last step and one per tenth between them. The last
            // is every frame confirmed, which the host reports once the unit confirms the end.
            const int tenth = 10 * p.framesConfirmed / p.totalFrames;
            const auto seen = lastTenth_.find(port);
            if (p.framesConfirmed == 1 || p.framesConfirmed == p.totalFrames ||
                seen == lastTenth_.end() || tenth > seen->second) {
                Prefix(port);
                std::fprintf(err_, "progress: %d of %d frames confirmed (%d%%)\n",
                             p.framesConfirmed, p.totalFrames, percent);
                lastTenth_[port] = tenth;
            }
        }
        std::fflush(err_);
    }

    void EndSteps(const std::string& port) override {
        std::lock_guard lock(mu_);
        EndBar();
        lastTenth_.erase(port);
        std::fflush(err_);
    }

    void Outcome(const PortOutcome& o) override {
        std::lock_guard lock(mu_);
        const std::string incomplete = Incomplete(o) ? ", recorded incompletely" : "";
        if (gang_) {
            std::string status = o.lastStatus;
            std::replace(status.begin(), status.end(), '\n', ' ');
            SetLine(o.port, labels_[row_[o.port]] + "  " +
                                (o.confirmed     ? "confirmed"
                                 : o.interrupted ? InterruptedAt(o.frame, o.totalFrames)
                                 : o.notStarted  ? std::string("NOT STARTED: nothing was sent")
                                                 : "FAILED: " + status) +
                                incomplete);
            return;
        }
        const std::string port = multi_ ? o.port + ": " : std::string();
        if (o.interrupted) {
            EndBar();
            Above("romlift-cli: " + port + InterruptedAt(o.frame, o.totalFrames) + incomplete +
                  "\n");
        } else if (!incomplete.empty()) {
            EndBar();
            Above("romlift-cli: " + port + (o.confirmed ? "confirmed" : "failed") + incomplete +
                  "\n");
        }
    }

    // A required row that could not be completed is part of the outcome, not a remark.
    static bool Incomplete(const PortOutcome& o) { return o.recordRequired && o.recorded == false; }

    void Summary(const std::vector<PortOutcome>& all, int signal) override {
        std::lock_guard lock(mu_);
        EndBar();
        if (signal != 0) {
            Above("romlift-cli: " + SignalName(signal) +
                  ": every attempt ended, every port released\n");
        }
        if (all.size() < 2) {
            return;
        }
        size_t ok = 0;
        for (const PortOutcome& o : all) {
            ok += o.confirmed ? 1 : 0;
        }
        std::fprintf(err_, "Summary: %zu of %zu units confirmed the download\n", ok, all.size());
        for (const PortOutcome& o : all) {
            std::fprintf(err_, "  %s: %s%s\n", o.port.c_str(),
                         o.confirmed     ? "confirmed"
                         : o.interrupted ? InterruptedAt(o.frame, o.totalFrames).c_str()
                         : o.notStarted  ? "NOT STARTED"
                                         : "FAILED",
                         Incomplete(o) ? ", recorded incompletely" : "");
        }
        std::fflush(err_);
    }

    void Note(std::string_view text) override {
        std::lock_guard lock(mu_);
        EndBar();
        Above("romlift-cli: " + std::string(text) + "\n");
    }

    void Advise(const std::string&, const Hint& hint) override {
        std::lock_guard lock(mu_);
        // Every port that could not open the one image says the same: once is enough.
        if (!said_.insert(hint.text).second) {
            return;
        }
        EndBar();
        Above("romlift-cli: " + hint.text + "\n");
    }

  private:
    void Prefix(const std::string& port) {
        if (multi_) {
            std::fwrite(port.data(), 1, port.size(), err_);
            std::fputs(": ", err_);
        }
    }
    void EndBar() {
        if (barOpen_) {
            std::fputc('\n', err_);
            barOpen_ = false;
        }
    }
    // Lines that scroll: with the port lines on screen, they go in above them.
    void Above(const std::string& text) {
        if (gang_ && drawn_) {
            std::fprintf(err_, "\x1b[%zuA\r\x1b[J", lines_.size());
        }
        std::fwrite(text.data(), 1, text.size(), err_);
        if (gang_) {
            for (const std::string& line : lines_) {
                const std::string shown = Fit(line, columns_ - 1);
                std::fwrite(shown.data(), 1, shown.size(), err_);
                std::fputc('\n', err_);
            }
            drawn_ = true;
        }
        std::fflush(err_);
    }
    void SetLine(const std::string& port, std::string text) {
        const size_t row = row_[port];
        if (lines_[row] == text) {
            return;
        }
        lines_[row] = std::move(text);
        if (!drawn_) {
            Above("");
            return;
        }
        const size_t up = lines_.size() - row;
        const std::string shown = Fit(lines_[row], columns_ - 1);
        std::fprintf(err_, "\x1b[%zuA\r\x1b[2K", up);
        std::fwrite(shown.data(), 1, shown.size(), err_);
        std::fprintf(err_, "\r\x1b[%zuB", up);
        std::fflush(err_);
    }

    std::mutex mu_;
    std::FILE* err_;
    bool multi_;
    bool bar_;   // one port on a terminal: a bar redrawn with carriage returns
    bool gang_;  // several ports on a terminal: one line each, redrawn in place
    bool barOpen_ = false;
    std::map<std::string, int> lastTenth_;
    std::set<std::string> said_;
    // The port lines of the gang display, in --port order.
    std::map<std::string, size_t> row_;
    std::vector<std::string> labels_;
    std::vector<std::string> lines_;
    bool drawn_ = false;
    size_t columns_ = 80;
};

}  // namespace

std::unique_ptr<Reporter> MakeTextReporter(std::FILE* err, bool interactive,
                                           const std::vector<std::string>& ports) {
    return std::make_unique<TextReporter>(err, interactive, ports);
}

}  // namespace romlift::cli
