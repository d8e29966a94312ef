// The record on a PostgreSQL server, shared by every station pointed at it: the same `downloads`
// table, made when missing, with each row's key unique so a row sent twice is kept once.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "download_row.h"

struct pg_conn;

namespace romlift::record {

inline constexpr int kPgSchemaVersion = 1;

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
    // Whether the connection is up as far as libpq knows; false after an Insert found the server
    // gone and could not reach it again.
    bool Connected();

    // Sends `row` (its id becomes the server's). A connection found broken is made again once.
    // `inserted` tells whether the server did not have the row's key yet. A row without a key
    // gets a fresh one.
    bool Insert(DownloadRow& row, bool* inserted, std::string* error);
    // The rows `filter` keeps, newest first.
    bool Query(const HistoryFilter& filter, std::vector<DownloadRow>* rows, std::string* error);

  private:
    bool Prepare(std::string* error);
    enum class Attempt { Written, Refused, Lost };
    Attempt InsertOnce(DownloadRow& row, bool* inserted, std::string* error);
    void Close();

    std::mutex mutex_;
    pg_conn* conn_ = nullptr;
    std::string where_;
};

}  // namespace romlift::record
