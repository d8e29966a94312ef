// Where romlift-cli's output goes: plain text on standard error, or JSON lines on standard output.
// One reporter serves every port's attempt; calls may come from several threads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hint.h"
#include "port_advice.h"

namespace romlift::cli {

using Json = nlohmann::ordered_json;

struct Progress {
    int framesConfirmed = 0;
    int totalFrames = 0;
    uint64_t bytesSent = 0;
    int64_t elapsedMs = 0;
    int64_t remainingMs = 0;  // estimate from the pace so far
};

struct PortOutcome {
    std::string port;
    bool confirmed = false;
    std::string lastStatus;
    // Ended by SIGINT or SIGTERM rather than by the unit: at `frame` (0 before the first data
    // frame) of `totalFrames`.
    bool interrupted = false;
    int frame = 0;
    int totalFrames = 0;
    // Refused before anything was sent (a required record could not take the attempt's row).
    bool notStarted = false;
    // Whether the attempt's row is kept complete; none when no record is kept. `recordRequired`:
    // a row not kept complete makes the run fail (exit status 3).
    std::optional<bool> recorded;
    bool recordRequired = false;
};

// romlift-cli's own word on a failure the status text does not explain (advice/hint.h).
using advice::Hint;
using advice::HintFromPortAdvice;

class Reporter {
  public:
    virtual ~Reporter() = default;
    virtual void Status(const std::string& port, std::string_view text) = 0;
    virtual void Step(const std::string& port, const Progress& p) = 0;
    // The frame phase of an attempt is over (a bar line may end).
    virtual void EndSteps(const std::string& port) = 0;
    virtual void Outcome(const PortOutcome& o) = 0;
    // `signal`: the one that interrupted the download, 0 when none did.
    virtual void Summary(const std::vector<PortOutcome>& all, int signal) = 0;
    // A remark of the tool's own (not a status text), e.g. that a trace is incomplete.
    virtual void Note(std::string_view text) = 0;
    // Why a port or the image failed; comes after the status text and before the outcome.
    virtual void Advise(const std::string& port, const Hint& hint) = 0;
};

// Text on `err`, for the ports of `ports` (their labels, in order). With one port on a terminal
// (`interactive`) the frames show as a bar redrawn with carriage returns; with several on a
// terminal each port keeps one line, redrawn in place, under the status texts; without a
// terminal progress comes as lines, at most one per 10% per port besides the first and the last.
// With several ports each status line starts with the port's name.
std::unique_ptr<Reporter> MakeTextReporter(std::FILE* err, bool interactive,
                                           const std::vector<std::string>& ports);
std::unique_ptr<Reporter> MakeJsonReporter(std::FILE* out);

// One JSON line on `out`: `value` as compact JSON, bytes that are not UTF-8 as U+FFFD.
void WriteJsonLine(std::FILE* out, const Json& value);
// "SIGINT", "SIGTERM", or the number.
std::string SignalName(int signal);

}  // namespace romlift::cli
