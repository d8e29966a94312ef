#include "record_sink.h"

#include <cstdlib>
#include <mutex>

namespace romlift::record {

namespace {

class FileSink : public RecordSink {
  public:
    bool Open(const std::filesystem::path& path, bool createFolder, std::string* error) {
        return file_.Open(path, SqliteRecord::Access::Write, createFolder, error);
    }
    bool Write(DownloadRow& row, std::string* /*notice*/, std::string* error) override {
        return file_.Insert(row, error);
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

    bool Write(DownloadRow& row, std::string* notice, std::string* error) override {
        bool inserted = false;
        std::string why;
        if (server_.Insert(row, &inserted, &why)) {
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
        if (!open || !fallback_.Insert(row, &localWhy)) {
            *error = why + "; nor could it be kept locally: " + localWhy;
            return false;
        }
        *notice = why + "; this download is kept in " + local_.string() +
                  " until `romlift-cli history --push` sends it";
        return true;
    }
    std::string Where() const override { return server_.Where(); }

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

std::unique_ptr<RecordSink> OpenRecordSink(const std::string& target, std::string* error,
                                           const std::filesystem::path& localFallback) {
    if (IsServerUri(target)) {
        auto sink = std::make_unique<ServerSink>(localFallback);
        if (!sink->Connect(target, error)) {
            return nullptr;
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

bool PushLocal(SqliteRecord& local, PgRecord& server, PushCounts* counts, std::string* error) {
    std::vector<DownloadRow> rows;
    if (!local.Unpushed(&rows, error)) {
        return false;
    }
    std::string refusals;
    for (const DownloadRow& row : rows) {
        DownloadRow copy = row;  // the server gives it an id of its own
        bool inserted = false;
        std::string why;
        if (!server.Insert(copy, &inserted, &why)) {
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
