#include "utc_time.h"

#include <date/date.h>

#include <algorithm>
#include <array>
#include <locale>
#include <sstream>
#include <utility>

namespace romlift::record {

std::string FormatUtc(std::chrono::system_clock::time_point t) {
    // The classic locale: a station's own one must not group the year's digits.
    return date::format(std::locale::classic(), "%FT%TZ",
                        std::chrono::time_point_cast<std::chrono::milliseconds>(t));
}

std::optional<std::chrono::system_clock::time_point> ParseUtc(std::string_view text) {
    // Each spelling taken, a digit written as 9, and how the date library reads it. The library
    // alone would also take one-digit months and days and a signed year.
    static constexpr std::array<std::pair<std::string_view, const char*>, 4> kSpellings{{
        {"9999-99-99", "%F"},
        {"9999-99-99T99:99", "%FT%R"},
        {"9999-99-99T99:99:99", "%FT%T"},
        {"9999-99-99T99:99:99.999", "%FT%T"},
    }};
    if (text.ends_with('Z')) {
        text.remove_suffix(1);
    }
    std::string given(text);
    if (given.size() > 10 && given[10] == ' ') {
        given[10] = 'T';
    }
    const auto shaped = [&given](std::string_view shape) {
        return std::equal(given.begin(), given.end(), shape.begin(), shape.end(),
                          [](char c, char s) { return s == '9' ? c >= '0' && c <= '9' : c == s; });
    };
    const auto* spelling = std::find_if(kSpellings.begin(), kSpellings.end(),
                                        [&shaped](const auto& s) { return shaped(s.first); });
    if (spelling == kSpellings.end()) {
        return std::nullopt;
    }
    // The library refuses what names no real time: 2026-02-30, 25:00, a 60th second.
    std::istringstream in(given);
    in.imbue(std::locale::classic());
    date::sys_time<std::chrono::milliseconds> t;
    in >> date::parse(spelling->second, t);
    if (in.fail()) {
        return std::nullopt;
    }
    return t;
}

std::optional<std::string> ParseSince(std::string_view text) {
    const auto t = ParseUtc(text);
    return t ? std::optional(FormatUtc(*t)) : std::nullopt;
}

}  // namespace romlift::record
