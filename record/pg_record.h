// The record on a PostgreSQL server, shared by every station pointed at it: the same `downloads`
// table, made when missing, with each row's key unique so a row sent twice is kept once.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "download_row.h"
#include "row_values.h"

struct pg_conn;
struct pg_result;

namespace romlift::record {

inline constexpr int kPgSchemaVersion = 2;

// How long one statement may keep the program waiting, and what ends the wait at once (-1 for
// nothing): a stalled server must never hold a station past its units' outcome.
struct PgWait {
    std::chrono::milliseconds limit{10000};
    int stopFd = -1;
};

namespace detail {
struct ResultFree {
    void operator()(pg_result* r) const;
};
}  // namespace detail

// Whether `target` names a server (postgresql:// or postgres://) rather than a file.
bool IsServerUri(std::string_view target);
// `uri` with any password replaced by "***", for messages.
std::string RedactedUri(const std::string& uri);

// One connection. Safe to share between threads: calls take turns.
class PgRecord {
  public:
    PgRecord() = default;
    ~PgRecord();
    PgRecord(const PgRecord&) = delete;
    PgRecord& operator=(const PgRecord&) = delete;

    // Connects with a libpq URI (connect_timeout 10 s unless the URI says otherwise), then makes
    // the table when missing. False with the reason when the server cannot be reached, refuses
    // the login, or holds a `downloads` table that is not this record's or has a later schema.
    bool Connect(const std::string& uri, std::string* error);
    // The server, without a password, for messages.
    const std::string& Where() const { return where_; }
    // Bounds every later statement; a wait that passes it (or sees the stop signal) drops the
    // connection, so Connected() turns false and nothing is left half done on the server.
    void SetWait(const PgWait& wait) {
        const std::lock_guard<std::mutex> lock(mutex_);
        wait_ = wait;
    }
    // Whether the connection is up as far as libpq knows; false after an Insert found the server
    // gone and could not reach it again.
    bool Connected();

    // Sends `row` (its id becomes the server's): added when its key is new, replacing the row
    // with that key while that one is unfinished, else left as it is. A connection found broken
    // is made again once. `inserted` tells whether the server took the row's values (false: it
    // had the row complete already). A row without a key gets a fresh one.
    bool Put(DownloadRow& row, bool* inserted, std::string* error);
    // The rows `filter` keeps, newest first.
    bool Query(const HistoryFilter& filter, std::vector<DownloadRow>* rows, std::string* error);

  private:
    using Result = std::unique_ptr<pg_result, detail::ResultFree>;
    Result Run(const std::string& sql, const std::vector<detail::Value>& params = {});
    // libpq's words for the last failure, on one line, or why the wait was given up.
    std::string Why() const;
    bool Prepare(std::string* error);
    enum class Attempt { Written, Refused, Lost };
    Attempt InsertOnce(DownloadRow& row, bool* inserted, std::string* error);
    void Close();

    std::mutex mutex_;
    pg_conn* conn_ = nullptr;
    std::string where_;
    PgWait wait_;
    std::string abandoned_;
};

}  // namespace romlift::record
