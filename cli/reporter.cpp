#include "reporter.h"

#include <cinttypes>
#include <map>

namespace romlift::cli {
namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not valid UTF-8.
size_t Utf8Length(std::string_view s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (b < 0x80) {
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        n = 2;
        cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        n = 3;
        cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        n = 4;
        cp = b & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) {
        return 0;
    }
    for (size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    const bool overlong = (n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return n;
}

class TextReporter final : public Reporter {
public:
    TextReporter(std::FILE* err, bool interactive, bool multiPort)
        : err_(err), bar_(interactive && !multiPort), multi_(multiPort) {}

    void Status(const std::string& port, std::string_view text) override {
        std::lock_guard lock(mu_);
        EndBar();
        // Each line of a multi-line text gets the port's name, so interleaved ports stay legible.
        size_t start = 0;
        for (;;) {
            const size_t nl = text.find('\n', start);
            const std::string_view line = text.substr(start, nl == std::string_view::npos ? nl : nl - start);
            Prefix(port);
            std::fwrite(line.data(), 1, line.size(), err_);
            std::fputc('\n', err_);
            if (nl == std::string_view::npos) {
                break;
            }
            start = nl + 1;
        }
        std::fflush(err_);
    }

    void Step(const std::string& port, const Progress& p) override {
        std::lock_guard lock(mu_);
        if (p.totalFrames <= 0) {
            return;
        }
        const int percent = static_cast<int>(100LL * p.framesConfirmed / p.totalFrames);
        if (bar_) {
            constexpr int kWidth = 40;
            const int filled = static_cast<int>(static_cast<long long>(kWidth) * p.framesConfirmed / p.totalFrames);
            std::string bar(static_cast<size_t>(filled), '#');
            bar.resize(kWidth, '.');
            std::fprintf(err_, "\r[%s] %3d%%  frame %d of %d, %" PRId64 " s left ", bar.c_str(), percent,
                         p.framesConfirmed, p.totalFrames, (p.remainingMs + 999) / 1000);
            barOpen_ = true;
        } else if (percent != lastPercent_[port]) {
            Prefix(port);
            std::fprintf(err_, "progress: %d of %d frames confirmed (%d%%)\n", p.framesConfirmed,
                         p.totalFrames, percent);
            lastPercent_[port] = percent;
        }
        std::fflush(err_);
    }

    void EndSteps(const std::string& port) override {
        std::lock_guard lock(mu_);
        EndBar();
        lastPercent_.erase(port);
        std::fflush(err_);
    }

    void Outcome(const PortOutcome&) override {}

    void Summary(const std::vector<PortOutcome>& all) override {
        if (all.size() < 2) {
            return;
        }
        std::lock_guard lock(mu_);
        EndBar();
        size_t ok = 0;
        for (const PortOutcome& o : all) {
            ok += o.confirmed ? 1 : 0;
        }
        std::fprintf(err_, "Summary: %zu of %zu units confirmed the download\n", ok, all.size());
        for (const PortOutcome& o : all) {
            std::fprintf(err_, "  %s: %s\n", o.port.c_str(), o.confirmed ? "confirmed" : "FAILED");
        }
        std::fflush(err_);
    }

    void Note(std::string_view text) override {
        std::lock_guard lock(mu_);
        EndBar();
        std::fputs("romlift-cli: ", err_);
        std::fwrite(text.data(), 1, text.size(), err_);
        std::fputc('\n', err_);
        std::fflush(err_);
    }

    void Hint(const std::string&, const PortAdvice& advice) override { Note(advice.text); }

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

    std::mutex mu_;
    std::FILE* err_;
    bool bar_;
    bool multi_;
    bool barOpen_ = false;
    std::map<std::string, int> lastPercent_;
};

class JsonReporter final : public Reporter {
public:
    explicit JsonReporter(std::FILE* out) : out_(out) {}

    void Status(const std::string& port, std::string_view text) override {
        Line("{\"event\":\"status\",\"port\":" + JsonString(port) + ",\"text\":" + JsonString(text) + "}");
    }
    void Step(const std::string& port, const Progress& p) override {
        Line("{\"event\":\"progress\",\"port\":" + JsonString(port) +
             ",\"frame\":" + std::to_string(p.framesConfirmed) + ",\"total\":" + std::to_string(p.totalFrames) +
             ",\"bytes_sent\":" + std::to_string(p.bytesSent) + ",\"elapsed_ms\":" + std::to_string(p.elapsedMs) +
             ",\"remaining_ms\":" + std::to_string(p.remainingMs) + "}");
    }
    void EndSteps(const std::string&) override {}
    void Outcome(const PortOutcome& o) override {
        Line("{\"event\":\"outcome\",\"port\":" + JsonString(o.port) +
             ",\"confirmed\":" + (o.confirmed ? "true" : "false") + ",\"status\":" + JsonString(o.lastStatus) + "}");
    }
    void Summary(const std::vector<PortOutcome>& all) override {
        std::string ok = "[", failed = "[";
        for (const PortOutcome& o : all) {
            std::string& list = o.confirmed ? ok : failed;
            list += (list.size() > 1 ? "," : "") + JsonString(o.port);
        }
        Line("{\"event\":\"summary\",\"confirmed\":" + ok + "],\"failed\":" + failed + "]}");
    }
    void Note(std::string_view text) override {
        Line("{\"event\":\"note\",\"text\":" + JsonString(text) + "}");
    }
    void Hint(const std::string& port, const PortAdvice& a) override {
        std::string holders;
        for (const Holder& h : a.holders) {
            holders += (holders.empty() ? "" : ",") + std::string("{\"pid\":") +
                       std::to_string(h.pid) + ",\"program\":" + JsonString(h.program) + "}";
        }
        Line("{\"event\":\"hint\",\"port\":" + JsonString(port) +
             ",\"kind\":" + JsonString(a.kind) + ",\"device\":" + JsonString(a.device) +
             ",\"errno\":" + std::to_string(a.err) + ",\"holders\":[" + holders +
             "],\"text\":" + JsonString(a.text) + "}");
    }

private:
    void Line(const std::string& line) {
        std::lock_guard lock(mu_);
        std::fwrite(line.data(), 1, line.size(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    std::mutex mu_;
    std::FILE* out_;
};

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t n = Utf8Length(text, i);
        char esc[8];
        if (n == 0) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
            ++i;
            continue;
        }
        if (n == 1) {
            switch (c) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    if (c < 0x20 || c == 0x7F) {
                        std::snprintf(esc, sizeof esc, "\\u%04x", c);
                        out += esc;
                    } else {
                        out += static_cast<char>(c);
                    }
            }
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out + "\"";
}

std::unique_ptr<Reporter> MakeTextReporter(std::FILE* err, bool interactive, bool multiPort) {
    return std::make_unique<TextReporter>(err, interactive, multiPort);
}

std::unique_ptr<Reporter> MakeJsonReporter(std::FILE* out) { return std::make_unique<JsonReporter>(out); }

}  // namespace romlift::cli
