// Times in the download record: UTC, to the millisecond, one spelling everywhere
// (2026-12-09T09:50:54.123Z), so that the record's text columns sort as the times do.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace romlift::record {

// 2026-12-09T09:50:54.123Z for `t`, milliseconds truncated.
std::string FormatUtc(std::chrono::system_clock::time_point t);

// The time named by "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM[:SS[.mmm]]" (a blank may stand for the
// "T"), with an optional "Z": UTC in every case. nullopt when `text` is none of those or names
// no real time.
std::optional<std::chrono::system_clock::time_point> ParseUtc(std::string_view text);

// ParseUtc's time in FormatUtc's spelling.
std::optional<std::string> ParseSince(std::string_view text);

}  // namespace romlift::record
