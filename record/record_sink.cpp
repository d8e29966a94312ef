#include "record_sink.h"

#include <chrono>
#include <cstdlib>
#include <mutex>

namespace romlift::record {

namespace {

class FileSink : public RecordSink {
  public:
    bool Open(const std::filesystem::path& path, bool createFolder, std::string* error) {
        return file_.Open(path, SqliteRecord::Access::Write, createFolder, error);
    }
    bool Start(DownloadRow& row, std::string* error) override { return file_.Put(row, error); }
    bool Complete(DownloadRow& row, std::string* /*notice*/, std::string* error) override {
        return file_.Put(row, error);
    }
    std::string Where() const override { return file_.Path().string(); }

  private:
    SqliteRecord file_;
};

// The server first; while it is away, the station's own file, for a later push.
class ServerSink : public RecordSink {
  public:
    explicit ServerSink(std::filesystem::path local) : local_(std::move(local)) {}
    bool Connect(const std::string& uri, std::string* error) { return server_.Connect(uri, error); }
    PgRecord& Server() { return server_; }

    // The start row goes to the server or nowhere: a row kept aside would let a unit be written
    // that the plant's record does not show.
    bool Start(DownloadRow& row, std::string* error) override {
        bool inserted = false;
        return server_.Put(row, &inserted, error);
    }

    bool Complete(DownloadRow& row, std::string* notice, std::string* error) override {
        bool inserted = false;
        std::string why;
        if (server_.Put(row, &inserted, &why)) {
            return true;
        }
        std::string localWhy;
        bool open = false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!fallbackOpen_) {
                fallbackOpen_ =
                    fallback_.Open(local_, SqliteRecord::Access::Write, true, &localWhy);
            }
            open = fallbackOpen_;
        }
        if (!open || !fallback_.Put(row, &localWhy)) {
            *error = why + "; nor could it be kept locally: " + localWhy;
            return false;
        }
        *notice = why + "; this download is kept in " + local_.string() +
                  " until `romlift-cli history --push` sends it";
        return true;
    }
    std::string Where() const override { return server_.Where(); }
    void SetStopSignal(int fd) override { server_.SetWait(PgWait{kServerWait, fd}); }

    // A stalled server is given up within this, so that the end of a download waits at most
    // this long on it (the row then waits in the station's file).
    static constexpr std::chrono::milliseconds kServerWait{10000};

  private:
    PgRecord server_;
    std::filesystem::path local_;
    std::mutex mutex_;
    bool fallbackOpen_ = false;  // opened on the first row the server did not take
    SqliteRecord fallback_;
};

}  // namespace

std::string ChosenRecordTarget(const std::string& given) {
    if (!given.empty()) {
        return given;
    }
    const char* env = std::getenv("ROMLIFT_RECORD");
    return env != nullptr ? std::string(env) : std::string();
}

namespace {

// Sends what the station's file still holds for the server, within kAutoPushMs; one line for
// `notice` when there was anything to say.
void PushPending(const std::filesystem::path& local, PgRecord& server, std::string* notice) {
    std::error_code ec;
    if (!std::filesystem::exists(local, ec)) {
        return;
    }
    SqliteRecord file;
    std::string why;
    PushCounts counts;
    server.SetWait(PgWait{std::chrono::milliseconds(kAutoPushMs), -1});
    const bool all = file.Open(local, SqliteRecord::Access::Write, false, &why) &&
                     PushLocal(file, server, &counts, &why, kAutoPushMs);
    if (notice == nullptr) {
        return;
    }
    if (counts.sent > 0) {
        *notice = std::to_string(counts.sent) + " row(s) kept in " + local.string() +
                  " while the server was away were sent to it";
    }
    if (!all) {
        *notice += std::string(notice->empty() ? "" : "; ") + "rows kept in " + local.string() +
                   " are still pending (" + why + "); `romlift-cli history --push` sends them";
    }
}

}  // namespace

std::unique_ptr<RecordSink> OpenRecordSink(const std::string& target, std::string* error,
                                           const std::filesystem::path& localFallback,
                                           std::string* notice) {
    if (IsServerUri(target)) {
        auto sink = std::make_unique<ServerSink>(localFallback);
        if (!sink->Connect(target, error)) {
            return nullptr;
        }
        PushPending(localFallback, sink->Server(), notice);
        sink->SetStopSignal(-1);
        if (!sink->Server().Connected() && !sink->Connect(target, error)) {
            return nullptr;  // the push found the server stalled: it cannot take the start row
        }
        return sink;
    }
    auto sink = std::make_unique<FileSink>();
    const bool byDefault = target.empty();
    if (!sink->Open(byDefault ? DefaultRecordPath() : std::filesystem::path(target), byDefault,
                    error)) {
        return nullptr;
    }
    return sink;
}

bool ReadHistory(const std::string& target, const HistoryFilter& filter,
                 std::vector<DownloadRow>* rows, std::string* error) {
    if (IsServerUri(target)) {
        PgRecord server;
        return server.Connect(target, error) && server.Query(filter, rows, error);
    }
    SqliteRecord file;
    return file.Open(target.empty() ? DefaultRecordPath() : std::filesystem::path(target),
                     SqliteRecord::Access::Read, false, error) &&
           file.Query(filter, rows, error);
}

bool PushLocal(SqliteRecord& local, PgRecord& server, PushCounts* counts, std::string* error,
               int limitMs) {
    std::vector<DownloadRow> rows;
    if (!local.Unpushed(&rows, error)) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    std::string refusals;
    for (size_t i = 0; i < rows.size(); ++i) {
        const DownloadRow& row = rows[i];
        if (limitMs > 0 && std::chrono::steady_clock::now() >= deadline) {
            *error = std::to_string(rows.size() - i) + " row(s) left for later";
            return false;
        }
        // A row the station is still writing (its attempt under way, or a program that was
        // killed) goes as it stands; its completion replaces it on the server.
        DownloadRow copy = row;  // the server gives it an id of its own
        bool inserted = false;
        std::string why;
        if (!server.Put(copy, &inserted, &why)) {
            if (!server.Connected()) {
                *error = why;
                return false;
            }
            ++counts->refused;
            refusals += (refusals.empty() ? "" : "; ") + why;
            continue;
        }
        ++(inserted ? counts->sent : counts->already);
        if (!local.MarkPushed(row.rowKey, error)) {
            return false;
        }
    }
    if (!refusals.empty()) {
        *error = refusals;
        return false;
    }
    return true;
}

}  // namespace romlift::record
