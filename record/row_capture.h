// Fills a DownloadRow from a finished attempt: what the engine's state says, plus what only the
// front end knows (who, where, which program, how it ended).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "download_row.h"
#include "ports_paths.h"

namespace romlift {
struct DownloadState;
}

namespace romlift::record {

class ImageDigest;

// Wall-clock times for the row, and a duration that a clock change cannot bend.
class AttemptTimer {
  public:
    AttemptTimer();  // starts now
    void Stop();     // the end; later calls move it
    std::string StartedUtc() const;
    std::string EndedUtc() const;
    int64_t DurationMs() const;

  private:
    std::chrono::system_clock::time_point startWall_, endWall_;
    std::chrono::steady_clock::time_point start_, end_;
};

struct AttemptContext {
    std::string program;  // romlift or romlift-cli
    std::string version;
    std::string station;       // StationName()
    std::string operatorName;  // OperatorName()
    std::string statusText;    // the last status text shown
    Outcome outcome = Outcome::Failed;
    const AttemptTimer* timer = nullptr;  // null: both times now, no duration
    // Adapter text looked up before the attempt (AdapterOf): a pulled adapter has left sysfs by
    // the time the attempt ends. Empty: looked up in `paths` at capture time.
    std::string adapter;
    ports::PortsPaths paths = ports::PortsPaths::ForThisProcess();
    std::string unitSerial;  // as scanned; "" when not given
    std::string lot;
    // The release list that allowed the image (its SHA-256) and the trusted key that signed it.
    std::string releaseListSha256;
    std::string releaseKey;
};

// The row for the attempt `state` has just finished. `digest`, when given, was the image stream's
// observer during the attempt; without one the SHA-256 is of the image file as it is now. An
// image read into state.imageBytes is named by those bytes, whatever the file holds now. The row
// gets a fresh row key.
DownloadRow CaptureRow(const DownloadState& state, const AttemptContext& context,
                       ImageDigest* digest);

// "0403:6001 serial A50285BI" (or "0403:6001" without a serial number) for the USB adapter at
// `device` (its /dev path or a link to it, such as /dev/serial/by-id/...); "" when `device` is
// not a USB or ACM adapter sysfs knows.
std::string AdapterOf(const std::string& device, const ports::PortsPaths& paths);

// The host name; "" when it cannot be told.
std::string HostName();
// The user this process runs as, from the password database; the uid in digits when it has none.
std::string UserName();
// `given` when not empty, else $ROMLIFT_STATION when set and not empty, else the host name.
std::string StationName(const std::string& given);
// `given` when not empty, else $ROMLIFT_OPERATOR when set and not empty, else the user.
std::string OperatorName(const std::string& given);

// The longest station or operator name the record takes, in characters.
inline constexpr size_t kMaxNameLength = 200;
// Why `name` cannot be a station or operator name: "" when it can. Longer than kMaxNameLength
// characters (UTF-8 counted as characters), or a control character: a line break or escape
// in a name splits a log line and lets a name pass for something else.
std::string NameProblem(std::string_view name);

}  // namespace romlift::record
