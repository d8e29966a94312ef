#include <csignal>
#include <mutex>

#include "reporter.h"

namespace romlift::cli {

void WriteJsonLine(std::FILE* out, const Json& value) {
    // File names and the texts built from them may hold any bytes; a line must stay UTF-8.
    const std::string line = value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

std::string SignalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        default:
            return std::to_string(signal);
    }
}

namespace {

class JsonReporter final : public Reporter {
  public:
    explicit JsonReporter(std::FILE* out) : out_(out) {}

    void Status(const std::string& port, std::string_view text) override {
        Line({{"event", "status"}, {"port", port}, {"text", text}});
    }
    void Step(const std::string& port, const Progress& p) override {
        Line({{"event", "progress"},
              {"port", port},
              {"frame", p.framesConfirmed},
              {"total", p.totalFrames},
              {"bytes_sent", p.bytesSent},
              {"elapsed_ms", p.elapsedMs},
              {"remaining_ms", p.remainingMs}});
    }
    void EndSteps(const std::string&) override {}
    void Outcome(const PortOutcome& o) override {
        Json line{{"event", "outcome"},
                  {"port", o.port},
                  {"confirmed", o.confirmed},
                  {"interrupted", o.interrupted}};
        if (o.interrupted) {
            line["frame"] = o.frame;
            line["total"] = o.totalFrames;
        }
        if (o.notStarted) {
            line["not_started"] = true;
        }
        if (o.recorded) {
            line["recorded"] = *o.recorded;
        } else if (!o.notStarted) {
            line["recorded"] = false;
        }
        line["status"] = o.lastStatus;
        Line(line);
    }
    void Summary(const std::vector<PortOutcome>& all, int signal) override {
        Json confirmed = Json::array(), failed = Json::array(), interrupted = Json::array(),
             notStarted = Json::array(), unrecorded = Json::array();
        for (const PortOutcome& o : all) {
            (o.confirmed     ? confirmed
             : o.interrupted ? interrupted
             : o.notStarted  ? notStarted
                             : failed)
                .push_back(o.port);
            if (o.recorded == false) {
                unrecorded.push_back(o.port);
            }
        }
        Json line{{"event", "summary"},        {"confirmed", confirmed},
                  {"failed", failed},          {"interrupted", interrupted},
                  {"not_started", notStarted}, {"not_recorded", unrecorded}};
        if (signal != 0) {
            line["signal"] = SignalName(signal);
        }
        Line(line);
    }
    void Note(std::string_view text) override { Line({{"event", "note"}, {"text", text}}); }
    void Advise(const std::string& port, const Hint& hint) override {
        Json line{{"event", "hint"}, {"port", port}, {"kind", hint.kind}};
        line.update(hint.facts);
        line["text"] = hint.text;
        Line(line);
    }

  private:
    void Line(const Json& line) {
        std::lock_guard lock(mu_);
        WriteJsonLine(out_, line);
    }
    std::mutex mu_;
    std::FILE* out_;
};

}  // namespace

std::unique_ptr<Reporter> MakeJsonReporter(std::FILE* out) {
    return std::make_unique<JsonReporter>(out);
}

}  // namespace romlift::cli
