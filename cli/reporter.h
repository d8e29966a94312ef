// Where romlift-cli's output goes: plain text on standard error, or JSON lines on standard output.
// One reporter serves every port's attempt; calls may come from several threads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "port_advice.h"

namespace romlift::cli {

using ports::Holder;
using ports::PortAdvice;

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
};

class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void Status(const std::string& port, std::string_view text) = 0;
    virtual void Step(const std::string& port, const Progress& p) = 0;
    // The frame phase of an attempt is over (a bar line may end).
    virtual void EndSteps(const std::string& port) = 0;
    virtual void Outcome(const PortOutcome& o) = 0;
    virtual void Summary(const std::vector<PortOutcome>& all) = 0;
    // A remark of the tool's own (not a status text), e.g. that nothing matched.
    virtual void Note(std::string_view text) = 0;
    // What to do about a port that would not open or went away; comes before the outcome.
    virtual void Hint(const std::string& port, const PortAdvice& advice) = 0;
};

// `multiPort` prefixes each line with the port's name and never draws a bar; `interactive` draws
// the bar with carriage returns.
std::unique_ptr<Reporter> MakeTextReporter(std::FILE* err, bool interactive, bool multiPort);
std::unique_ptr<Reporter> MakeJsonReporter(std::FILE* out);

// `text` as a JSON string literal. Bytes that are not UTF-8 (file names may hold any) are
// written as \u00XX of the byte's value, so the line stays valid JSON.
std::string JsonString(std::string_view text);

}  // namespace romlift::cli
