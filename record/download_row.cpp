#include "download_row.h"

#include <openssl/rand.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <span>

#include "hex.h"

namespace romlift::record {

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Confirmed:
            return "confirmed";
        case Outcome::Failed:
            return "failed";
        case Outcome::Interrupted:
            return "interrupted";
        case Outcome::Unfinished:
            return "unfinished";
    }
    return "failed";
}

std::optional<Outcome> ParseOutcome(std::string_view text) {
    for (const Outcome o :
         {Outcome::Confirmed, Outcome::Failed, Outcome::Interrupted, Outcome::Unfinished}) {
        if (text == OutcomeName(o)) {
            return o;
        }
    }
    return std::nullopt;
}

const std::vector<std::string_view>& ColumnNames() {
    static const std::vector<std::string_view> names = {"id",
                                                        "started_utc",
                                                        "ended_utc",
                                                        "duration_ms",
                                                        "host",
                                                        "user",
                                                        "program",
                                                        "version",
                                                        "port",
                                                        "device",
                                                        "adapter",
                                                        "model",
                                                        "type_code",
                                                        "image_path",
                                                        "image_size",
                                                        "image_sha256",
                                                        "image_xor",
                                                        "frames_confirmed",
                                                        "frames_total",
                                                        "outcome",
                                                        "status_text",
                                                        "station",
                                                        "operator",
                                                        "row_key",
                                                        "run_id",
                                                        "ended_at",
                                                        "unit_serial",
                                                        "lot",
                                                        "release_list_sha256",
                                                        "release_key",
                                                        "pushed_utc"};
    return names;
}

std::string FormatUtc(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    auto secs = static_cast<time_t>(ms / 1000);
    auto milli = static_cast<int>(ms % 1000);
    if (milli < 0) {  // before 1970: keep the milliseconds positive
        milli += 1000;
        --secs;
    }
    std::tm tm{};
    if (::gmtime_r(&secs, &tm) == nullptr) {
        return {};
    }
    std::array<char, 96> out{};
    std::snprintf(out.data(), out.size(), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, milli);
    return out.data();
}

namespace {

// Reads exactly `width` digits at `pos`, moving past them.
bool Digits(std::string_view text, size_t& pos, size_t width, int& value) {
    if (pos + width > text.size()) {
        return false;
    }
    for (size_t i = pos; i < pos + width; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    std::from_chars(text.data() + pos, text.data() + pos + width, value);
    pos += width;
    return true;
}

bool Expect(std::string_view text, size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

}  // namespace

std::optional<std::string> ParseSince(std::string_view text) {
    std::tm tm{};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milli = 0;
    size_t pos = 0;
    if (!Digits(text, pos, 4, year) || !Expect(text, pos, '-') || !Digits(text, pos, 2, month) ||
        !Expect(text, pos, '-') || !Digits(text, pos, 2, day)) {
        return std::nullopt;
    }
    if (Expect(text, pos, 'T') || Expect(text, pos, ' ')) {
        if (!Digits(text, pos, 2, hour) || !Expect(text, pos, ':') ||
            !Digits(text, pos, 2, minute)) {
            return std::nullopt;
        }
        if (Expect(text, pos, ':')) {
            if (!Digits(text, pos, 2, second)) {
                return std::nullopt;
            }
            if (Expect(text, pos, '.') && !Digits(text, pos, 3, milli)) {
                return std::nullopt;
            }
        }
    }
    Expect(text, pos, 'Z');
    if (pos != text.size()) {
        return std::nullopt;
    }
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const time_t t = ::timegm(&tm);
    // timegm folds 2026-02-30 into March: a date that moved was not a real one.
    std::tm back{};
    if (::gmtime_r(&t, &back) == nullptr || back.tm_year != year - 1900 ||
        back.tm_mon != month - 1 || back.tm_mday != day || back.tm_hour != hour ||
        back.tm_min != minute || back.tm_sec != second) {
        return std::nullopt;
    }
    return FormatUtc(std::chrono::system_clock::from_time_t(t) + std::chrono::milliseconds(milli));
}

std::string NewRowKey() {
    std::array<unsigned char, 16> b{};
    if (RAND_bytes(b.data(), static_cast<int>(b.size())) != 1) {
        return {};
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    const std::span<const uint8_t> all(b);
    return Hex(all.first(4), HexCase::Lower) + '-' + Hex(all.subspan(4, 2), HexCase::Lower) + '-' +
           Hex(all.subspan(6, 2), HexCase::Lower) + '-' + Hex(all.subspan(8, 2), HexCase::Lower) +
           '-' + Hex(all.subspan(10), HexCase::Lower);
}

}  // namespace romlift::record
