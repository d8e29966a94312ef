// One download attempt as the record keeps it: one row of the `downloads` table, the same in the
// station's SQLite file and on a PostgreSQL server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace romlift::record {

// Unfinished: the row written before the first byte went to the unit; the attempt has not
// completed it (still running, or its program was killed or lost power).
enum class Outcome { Confirmed, Failed, Interrupted, Unfinished };
inline constexpr Outcome kOutcomes[] = {Outcome::Confirmed, Outcome::Failed, Outcome::Interrupted,
                                        Outcome::Unfinished};

// "confirmed", "failed", "interrupted", "unfinished": the spelling stored and shown.
const char* OutcomeName(Outcome outcome);
std::optional<Outcome> ParseOutcome(std::string_view text);

struct DownloadRow {
    int64_t id = 0;          // given by the database that holds the row; 0 before it is written
    std::string rowKey;      // a random UUID made once per attempt: the row's identity everywhere
    std::string runId;       // shared by the rows of one gang or one dialog attempt
    std::string startedUtc;  // 2026-12-09T09:50:54.123Z
    std::string endedUtc;    // "" while the row is unfinished
    int64_t durationMs = 0;
    std::string host;
    std::string user;
    std::string program;  // romlift or romlift-cli
    std::string version;
    std::string port;     // as named: COM3 or a device path
    std::string device;   // the device path opened
    std::string adapter;  // "0403:6001 serial A50285BI", "0403:6001", or "" when not an adapter
    std::string model;    // display name
    int64_t typeCode = 0;
    std::string imagePath;
    int64_t imageSize = 0;
    std::string imageSha256;      // 64 lower-case hex digits
    std::optional<int> imageXor;  // the checksum byte sent; none when the attempt stopped before
    int64_t framesConfirmed = 0;
    int64_t framesTotal = 0;
    Outcome outcome = Outcome::Failed;
    // Where the attempt stopped: port, image, wake-up, header, checksum, "frame N", end, done;
    // "" in rows kept before this was recorded.
    std::string endedAt;
    std::string unitSerial;         // the unit's serial number as scanned; "" when not given
    std::string lot;                // the work order the unit was written for; "" when none
    std::string releaseListSha256;  // SHA-256 of the release list that allowed the image; ""
    std::string releaseKey;         // first 16 hex digits of the SHA-256 of the key that signed
                                    // that list; "" when unsigned or no list
    std::string statusText;         // the last status text shown, exactly
    std::string station;
    std::string operatorName;
    // When a push sent the row from a station's file to a server; "" while it is only here.
    // Kept by the file, never written through a row.
    std::string pushedUtc;

    bool operator==(const DownloadRow&) const = default;
};

// The table's column names in order, and pushed_utc (a station's file keeps it, a server
// does not); what JSON and CSV name the fields.
const std::vector<std::string_view>& ColumnNames();

// A fresh random UUID (version 4) from OpenSSL's generator; "" when it has no randomness to give.
std::string NewRowKey();

// What a reading of the record keeps; empty members keep everything.
struct HistoryFilter {
    std::string sinceUtc = "";  // rows started at or after this time (FormatUtc's spelling)
    std::string untilUtc = "";  // rows started before this time
    std::string port = "";      // exactly as recorded
    std::string station = "";   // exactly as recorded
    std::string model = "";     // the display name, exactly
    std::optional<Outcome> outcome = std::nullopt;
    bool pending = false;  // only rows no push has sent to a server yet (a station's own file)
    int64_t limit = 0;     // the newest `limit` rows of those; 0 for all
};

}  // namespace romlift::record
