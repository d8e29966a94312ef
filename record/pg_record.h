// The record on a PostgreSQL server, shared by every station pointed at it: the same `downloads`
// table, made when missing, with each row's key unique so a row sent twice is kept once.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "columns.h"
#include "download_row.h"

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

// Whether `target` (--record, ROMLIFT_RECORD) names a server rather than a file: a URI
// (postgresql://, postgres://) or a libpq keyword string ("host=plant-db dbname=romlift").
// Anything with '=' in it is taken for a server, never a file name, so a keyword string libpq
// cannot read is refused (CheckServerTarget) instead of becoming a file of that name.
bool IsServerUri(std::string_view target);
// Whether libpq can read `target` as a connection string; when not, `error` says why, without
// anything of it that could be a password.
bool CheckServerTarget(const std::string& target, std::string* error);
// Whether `target` carries a password (or an SSL key's password), for a warning: a command
// line is seen by every user of the machine.
bool HasTypedPassword(const std::string& target);
// `uri` (or keyword string) with its passwords as "***", for messages.
std::string RedactedUri(const std::string& uri);

// One connection. Safe to share between threads: calls take turns.
class PgRecord {
  public:
    PgRecord() = default;
    ~PgRecord();
    PgRecord(const PgRecord&) = delete;
    PgRecord& operator=(const PgRecord&) = delete;

    // Connects with a libpq URI or keyword string (connect_timeout 10 s unless it says
    // otherwise), then makes the table when missing. False with the reason (no password in it,
    // nor in libpq's own words) when the string cannot be read, the server cannot be reached,
    // refuses the login, or holds a `downloads` table that is not this record's or has a later
    // schema.
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
    // libpq's words for the last failure, on one line, any password in them masked, or why the
    // wait was given up.
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
    std::vector<std::string> secrets_;  // the passwords given, kept out of every message
};

}  // namespace romlift::record
