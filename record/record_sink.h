// Where a front end sends the row of each attempt, chosen once per run from --record, then
// ROMLIFT_RECORD, then the station's default file: a thin call for the command line and the
// window program alike.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "download_row.h"
#include "pg_record.h"
#include "sqlite_record.h"

namespace romlift::record {

class RecordSink {
  public:
    virtual ~RecordSink() = default;
    // Writes an attempt's row as it stands before the first byte (outcome unfinished), where it
    // was asked to go and nowhere else, and sets its id. False with `error` when it was not
    // written: then the attempt must not start when the record is required.
    virtual bool Start(DownloadRow& row, std::string* error) = 0;
    // Completes the row written by Start (or writes the whole row of an attempt that ended
    // before it started) and sets its id. False with `error` when it was kept nowhere. `notice`
    // gets one line (no program name) when the row went somewhere other than asked, such as the
    // local file while the server was away or stalled; it is left alone otherwise.
    virtual bool Complete(DownloadRow& row, std::string* notice, std::string* error) = 0;
    // The file or the server (without a password), for messages.
    virtual std::string Where() const = 0;
    // `fd` (not owned, -1 for none) turns readable when the program must end at once: a wait on
    // a server gives up then, and the row goes to the local file.
    virtual void SetStopSignal(int /*fd*/) {}
};

// `given` when not empty, else $ROMLIFT_RECORD when set and not empty, else "" (the default file).
std::string ChosenRecordTarget(const std::string& given);

// Opens the record `target` names: a postgresql:// URI (connected now, the table made when
// missing; rows it cannot take later go to `localFallback`), a file path, or "" for
// DefaultRecordPath() (whose folder is made when missing). Null with the reason in `error` when
// the target cannot be used; for a server that is what stops a download from starting.
//
// For a server, rows the station's file holds that no push has sent yet go first, for at most
// kAutoPushMs; `notice` (when given) gets one line saying what was sent or what is still pending.
std::unique_ptr<RecordSink> OpenRecordSink(
    const std::string& target, std::string* error,
    const std::filesystem::path& localFallback = DefaultRecordPath(),
    std::string* notice = nullptr);

// How long the rows pending in the station's file may hold up a download's start.
inline constexpr int kAutoPushMs = 3000;

// Reads the rows `filter` keeps from the record `target` names (as for OpenRecordSink), newest
// first. A file that does not exist yet holds no rows.
bool ReadHistory(const std::string& target, const HistoryFilter& filter,
                 std::vector<DownloadRow>* rows, std::string* error);

struct PushCounts {
    int sent = 0;     // rows the server did not have
    int already = 0;  // rows the server had (an earlier push that was cut off)
    int refused = 0;  // rows the server would not take (their reasons are in the error text)
};

// Sends the rows of `local` that no push has sent yet to `server`, oldest first, and notes each
// as sent once the server has it. Safe to run again or after an interruption: the row key keeps
// each row once on the server. False when the server went away part way (what was sent stays
// noted) or rows were refused.
// `limitMs` > 0 stops sending (false, with what is left said in `error`) once that much time
// has gone.
bool PushLocal(SqliteRecord& local, PgRecord& server, PushCounts* counts, std::string* error,
               int limitMs = 0);

}  // namespace romlift::record
