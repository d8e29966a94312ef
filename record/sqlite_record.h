// The record in one SQLite file: the station's own, by default
// $XDG_STATE_HOME/romlift/history.sqlite. WAL, a busy timeout and one short transaction per row,
// so several threads and programs can write at once. A file that is not this record (another
// program's database, a damaged file, a later schema) is refused before anything is written and
// left exactly as it was.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "download_row.h"

struct sqlite3;

namespace romlift::record {

// The schema this build writes (PRAGMA user_version); the file names its own.
inline constexpr int kSqliteSchemaVersion = 2;
// PRAGMA application_id of a romlift record: "RLFT".
inline constexpr int kSqliteApplicationId = 0x524C4654;
// How long a write waits for other writers before it gives up, in milliseconds: long beside a
// row's few milliseconds, short enough that a file held by another program refuses an attempt
// before the operator wonders.
inline constexpr int kSqliteBusyTimeoutMs = 3000;

// $XDG_STATE_HOME/romlift/history.sqlite when XDG_STATE_HOME is an absolute path, else
// $HOME/.local/state/romlift/history.sqlite (HOME from the password database when unset).
std::filesystem::path DefaultRecordPath();

// One connection to one record file. Safe to share between threads: calls take turns.
class SqliteRecord {
  public:
    enum class Access {
        Write,  // creates the file (not its folder) when missing
        Read,   // never creates or changes anything; a missing file reads as no rows
    };

    SqliteRecord() = default;
    ~SqliteRecord();
    SqliteRecord(const SqliteRecord&) = delete;
    SqliteRecord& operator=(const SqliteRecord&) = delete;

    // False with a sentence naming the file in `error` when the file is not a romlift record,
    // is damaged (for Write: fails SQLite's quick check), has a later schema (Write), or is out
    // of reach: a full disk, a read-only file, folder or mount, a lock held past the busy
    // timeout, no permission, each in words of its own. A file of an earlier schema opened for
    // Write is brought to this one in place, its rows kept. A file it makes is mode 0600
    // whatever the umask; `createFolder` makes the missing folders first (mode 0700), for the
    // default path.
    bool Open(const std::filesystem::path& path, Access access, bool createFolder,
              std::string* error);
    const std::filesystem::path& Path() const { return path_; }

    // Writes `row` in a transaction of its own and sets row.id: added when its key is new,
    // replacing the row with that key while that one is unfinished, else left as it is (and
    // counts as written). A row without a key gets a fresh one.
    bool Put(DownloadRow& row, std::string* error);
    // The rows `filter` keeps, newest first.
    bool Query(const HistoryFilter& filter, std::vector<DownloadRow>* rows, std::string* error);

    // Rows not yet sent to a server, oldest first.
    bool Unpushed(std::vector<DownloadRow>* rows, std::string* error);
    // Notes that the row with `rowKey` is on a server now.
    bool MarkPushed(const std::string& rowKey, std::string* error);

  private:
    bool Connect(const std::string& name, int flags, std::string* error);
    bool Accepted();
    bool Check(bool write, std::string* error);
    bool QuickCheck(std::string* error);
    bool Create(std::string* error);
    bool Select(const std::string& where, const std::vector<std::string>& args, const char* order,
                std::vector<DownloadRow>* rows, std::string* error);
    void Close();

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    std::filesystem::path path_;
    int version_ = 0;  // the file's schema as opened
};

}  // namespace romlift::record
