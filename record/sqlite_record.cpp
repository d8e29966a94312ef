#include "sqlite_record.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "row_values.h"

namespace romlift::record {

namespace {

using detail::Value;

std::string Name(const std::filesystem::path& p) {
    return p.string();
}

// A prepared statement, finalized on every way out.
class Stmt {
  public:
    Stmt(sqlite3* db, const std::string& sql) {
        rc_ = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr);
    }
    ~Stmt() { sqlite3_finalize(stmt_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool Ok() const { return rc_ == SQLITE_OK && stmt_ != nullptr; }
    sqlite3_stmt* Get() const { return stmt_; }
    void Bind(int index, const Value& v) {
        if (const auto* n = std::get_if<int64_t>(&v)) {
            sqlite3_bind_int64(stmt_, index, *n);
        } else if (const auto* s = std::get_if<std::string>(&v)) {
            sqlite3_bind_text(stmt_, index, s->data(), static_cast<int>(s->size()),
                              SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_null(stmt_, index);
        }
    }
    int Step() { return sqlite3_step(stmt_); }

  private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

std::string Why(sqlite3* db) {
    return db != nullptr ? sqlite3_errmsg(db) : "out of memory";
}

bool IsBusy(int rc) {
    return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED;
}

// Runs `sql`, retrying while another connection holds the lock in ways the busy handler is not
// asked about (changing the journal mode, a read lock turning into a write lock).
int ExecPatiently(sqlite3* db, const char* sql) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kSqliteBusyTimeoutMs);
    for (;;) {
        const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (!IsBusy(rc) || std::chrono::steady_clock::now() >= deadline) {
            return rc;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool IntQuery(sqlite3* db, const char* sql, int64_t* out) {
    Stmt s(db, sql);
    if (!s.Ok() || s.Step() != SQLITE_ROW) {
        return false;
    }
    *out = sqlite3_column_int64(s.Get(), 0);
    return true;
}

// What a file is before SQLite is let near it: only a file that starts with SQLite's header (or
// is empty or missing) is opened at all.
enum class FileKind { Missing, Empty, Sqlite, Other, NotRegular, Unreadable };

FileKind Look(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? FileKind::Missing : FileKind::Unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        return FileKind::NotRegular;
    }
    if (st.st_size == 0) {
        return FileKind::Empty;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return FileKind::Unreadable;
    }
    static constexpr char kMagic[] = "SQLite format 3";  // with its NUL: 16 bytes
    std::array<char, sizeof kMagic> head{};
    const ssize_t got = ::read(fd, head.data(), head.size());
    ::close(fd);
    return got == static_cast<ssize_t>(head.size()) &&
                   std::memcmp(head.data(), kMagic, sizeof kMagic) == 0
               ? FileKind::Sqlite
               : FileKind::Other;
}

constexpr const char* kLeft = "; it is left as it is";

}  // namespace

std::filesystem::path DefaultRecordPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::filesystem::path base;
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        std::string h = home != nullptr ? home : "";
        if (h.empty()) {
            std::array<char, 16384> buf{};
            passwd pw{};
            passwd* found = nullptr;
            if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 &&
                found != nullptr && found->pw_dir != nullptr) {
                h = found->pw_dir;
            }
        }
        base = std::filesystem::path(h) / ".local" / "state";
    }
    return base / "romlift" / "history.sqlite";
}

SqliteRecord::~SqliteRecord() {
    Close();
}

void SqliteRecord::Close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool SqliteRecord::Open(const std::filesystem::path& path, Access access, bool createFolder,
                        std::string* error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Close();
    path_ = path;
    const bool write = access == Access::Write;
    const FileKind kind = Look(path);
    switch (kind) {
        case FileKind::Missing:
            if (!write) {
                return true;  // nothing recorded yet
            }
            if (createFolder && !path.parent_path().empty()) {
                std::error_code ec;
                std::filesystem::create_directories(path.parent_path(), ec);
                if (ec) {
                    *error = Name(path.parent_path()) + ": cannot make the record's folder (" +
                             ec.message() + ")";
                    return false;
                }
                ::chmod(path.parent_path().c_str(), 0700);
            }
            break;
        case FileKind::Empty:
        case FileKind::Sqlite:
            break;
        case FileKind::Other:
            *error = Name(path) + ": not a romlift record (not an SQLite database)" + kLeft;
            return false;
        case FileKind::NotRegular:
            *error = Name(path) + ": not a romlift record (not a regular file)" + kLeft;
            return false;
        case FileKind::Unreadable:
            *error = Name(path) + ": cannot read the record (" + std::strerror(errno) + ")";
            return false;
    }

    const int flags = (write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        *error = Name(path) + ": cannot open the record (" + Why(db_) + ")";
        Close();
        return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kSqliteBusyTimeoutMs);
    if (!Check(write, error)) {
        Close();
        return false;
    }
    return true;
}

// Looks at the file's identity before anything may write to it; then makes the table when the
// file is new, and turns WAL on.
bool SqliteRecord::Check(bool write, std::string* error) {
    int64_t app = 0;
    int64_t version = 0;
    int64_t objects = 0;
    // One statement, one snapshot: another program may be making the table right now, and a
    // file seen half before and half after its commit would look like someone else's.
    bool read = false;
    {
        Stmt s(db_,
               "SELECT (SELECT application_id FROM pragma_application_id()),"
               " (SELECT user_version FROM pragma_user_version()),"
               " (SELECT count(*) FROM sqlite_schema)");
        if (s.Ok() && s.Step() == SQLITE_ROW) {
            app = sqlite3_column_int64(s.Get(), 0);
            version = sqlite3_column_int64(s.Get(), 1);
            objects = sqlite3_column_int64(s.Get(), 2);
            read = true;
        }
    }
    if (!read) {
        if (IsBusy(sqlite3_errcode(db_))) {
            *error = Name(path_) + ": the record stayed busy (" + Why(db_) + ")";
        } else {
            *error = Name(path_) + ": the record is damaged or not a database (" + Why(db_) + ")" +
                     kLeft;
        }
        return false;
    }
    const bool fresh = app == 0 && objects == 0;
    if (!fresh && app != kSqliteApplicationId) {
        *error = Name(path_) + ": not a romlift record (another program's SQLite database)" + kLeft;
        return false;
    }
    if (write && version > kSqliteSchemaVersion) {
        *error = Name(path_) + ": the record has schema " + std::to_string(version) +
                 ", newer than this program's " + std::to_string(kSqliteSchemaVersion) +
                 "; nothing is written to it";
        return false;
    }
    version_ = static_cast<int>(version);
    if (!write) {
        if (fresh) {
            Close();  // an empty file: no table yet, so no rows
        }
        return true;
    }
    if (ExecPatiently(db_, "PRAGMA journal_mode=WAL") != SQLITE_OK) {
        *error = Name(path_) + ": cannot turn on the write-ahead log (" + Why(db_) + ")";
        return false;
    }
    return fresh || version < kSqliteSchemaVersion ? Create(error) : true;
}

namespace {

// The table as this build makes it; a file of schema 1 is rebuilt into it in place.
constexpr const char* kTable =
    "CREATE TABLE downloads ("
    " id INTEGER PRIMARY KEY,"
    " row_key TEXT NOT NULL UNIQUE,"
    " started_utc TEXT NOT NULL,"
    // NULL while the attempt has not completed its row.
    " ended_utc TEXT, duration_ms INTEGER NOT NULL,"
    " host TEXT NOT NULL, \"user\" TEXT NOT NULL, program TEXT NOT NULL,"
    " version TEXT NOT NULL, port TEXT NOT NULL, device TEXT NOT NULL,"
    " adapter TEXT NOT NULL, model TEXT NOT NULL, type_code INTEGER NOT NULL,"
    " image_path TEXT NOT NULL, image_size INTEGER NOT NULL, image_sha256 TEXT NOT NULL,"
    " image_xor INTEGER CHECK (image_xor BETWEEN 0 AND 255),"
    " frames_confirmed INTEGER NOT NULL, frames_total INTEGER NOT NULL,"
    " outcome TEXT NOT NULL"
    "  CHECK (outcome IN ('confirmed', 'failed', 'interrupted', 'unfinished')),"
    " status_text TEXT NOT NULL, station TEXT NOT NULL, \"operator\" TEXT NOT NULL,"
    // When the row went to a server with a push; NULL while it is only here.
    " pushed_utc TEXT,"
    " run_id TEXT NOT NULL DEFAULT '', ended_at TEXT NOT NULL DEFAULT '',"
    " unit_serial TEXT NOT NULL DEFAULT '', lot TEXT NOT NULL DEFAULT '',"
    " release_list_sha256 TEXT NOT NULL DEFAULT '', release_key TEXT NOT NULL DEFAULT ''"
    ") STRICT;"
    "CREATE INDEX downloads_started ON downloads (started_utc);";

// Schema 1 had no unfinished rows, run or end step: its rows keep everything and get '' there.
constexpr const char* kFromSchema1 =
    "ALTER TABLE downloads RENAME TO downloads_v1;"
    "DROP INDEX downloads_started;";
constexpr const char* kCopySchema1 =
    "INSERT INTO downloads (id, row_key, started_utc, ended_utc, duration_ms, host, \"user\","
    " program, version, port, device, adapter, model, type_code, image_path, image_size,"
    " image_sha256, image_xor, frames_confirmed, frames_total, outcome, status_text, station,"
    " \"operator\", pushed_utc)"
    " SELECT id, row_key, started_utc, ended_utc, duration_ms, host, \"user\", program,"
    " version, port, device, adapter, model, type_code, image_path, image_size, image_sha256,"
    " image_xor, frames_confirmed, frames_total, outcome, status_text, station, \"operator\","
    " pushed_utc FROM downloads_v1;"
    "DROP TABLE downloads_v1;";

}  // namespace

bool SqliteRecord::Create(std::string* error) {
    const std::string marks =
        std::string("PRAGMA application_id = ") + std::to_string(kSqliteApplicationId) +
        "; PRAGMA user_version = " + std::to_string(kSqliteSchemaVersion) + ";";
    // Another program may be making or upgrading the same file: whoever comes second finds it
    // done.
    if (ExecPatiently(db_, "BEGIN IMMEDIATE") != SQLITE_OK) {
        *error = Name(path_) + ": cannot start the record (" + Why(db_) + ")";
        return false;
    }
    int64_t app = 0;
    int64_t version = 0;
    if (!IntQuery(db_, "PRAGMA application_id", &app) ||
        !IntQuery(db_, "PRAGMA user_version", &version)) {
        *error = Name(path_) + ": cannot start the record (" + Why(db_) + ")";
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    std::string sql;
    if (app != kSqliteApplicationId) {
        sql = std::string(kTable) + marks;
    } else if (version < kSqliteSchemaVersion) {
        sql = std::string(kFromSchema1) + kTable + kCopySchema1 + marks;
    }
    if ((!sql.empty() && sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) ||
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error =
            Name(path_) +
            (app == kSqliteApplicationId ? ": cannot bring the record to this program's schema ("
                                         : ": cannot make the record's table (") +
            Why(db_) + ")";
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    version_ = kSqliteSchemaVersion;
    return true;
}

bool SqliteRecord::Put(DownloadRow& row, std::string* error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (db_ == nullptr) {
        *error = Name(path_) + ": the record is not open";
        return false;
    }
    if (row.rowKey.empty()) {
        row.rowKey = NewRowKey();  // a row without its key could be taken for another one
    }
    std::string sql = std::string("INSERT INTO downloads (") + detail::kColumns + ") VALUES (?";
    for (int i = 1; i < detail::kColumnCount; ++i) {
        sql += ", ?";
    }
    // A row is written twice: unfinished before the first byte, then complete. A row that is
    // complete already is never changed again (a late or repeated write cannot undo it).
    // A row pushed while unfinished goes to the server again once it is complete.
    sql += ") ON CONFLICT (row_key) DO UPDATE SET " + detail::UpdateAssignments("excluded.") +
           ", pushed_utc = NULL WHERE downloads.outcome = 'unfinished'";
    // BEGIN IMMEDIATE takes the write lock at once, so the busy timeout covers the whole wait.
    if (ExecPatiently(db_, "BEGIN IMMEDIATE") != SQLITE_OK) {
        *error = Name(path_) + ": cannot write the record (" + Why(db_) + ")";
        return false;
    }
    bool ok = false;
    {
        Stmt s(db_, sql);
        if (s.Ok()) {
            const std::vector<Value> values = detail::RowValues(row);
            for (int i = 0; i < detail::kColumnCount; ++i) {
                s.Bind(i + 1, values[static_cast<size_t>(i)]);
            }
            ok = s.Step() == SQLITE_DONE;
        }
    }
    if (ok) {
        Stmt id(db_, "SELECT id FROM downloads WHERE row_key = ?");
        id.Bind(1, row.rowKey);
        ok = id.Ok() && id.Step() == SQLITE_ROW;
        if (ok) {
            row.id = sqlite3_column_int64(id.Get(), 0);
        }
    }
    if (!ok || ExecPatiently(db_, "COMMIT") != SQLITE_OK) {
        *error = Name(path_) + ": cannot write the record (" + Why(db_) + ")";
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

bool SqliteRecord::Select(const std::string& where, const std::vector<std::string>& args,
                          const char* order, std::vector<DownloadRow>* rows, std::string* error) {
    rows->clear();
    if (db_ == nullptr) {
        return true;  // opened for reading and not there: no rows
    }
    // A file of schema 1 read without upgrading it has no run or end step.
    const std::string columns = version_ >= 2
                                    ? std::string(detail::kColumns)
                                    : std::string(detail::kColumns)
                                          .replace(std::string(detail::kColumns).find(", run_id"),
                                                   std::string::npos, ", '', '', '', '', '', ''");
    Stmt s(db_,
           "SELECT id, " + columns + ", pushed_utc FROM downloads" + where + " ORDER BY " + order);
    if (!s.Ok()) {
        *error = Name(path_) + ": cannot read the record (" + Why(db_) + ")";
        return false;
    }
    for (size_t i = 0; i < args.size(); ++i) {
        s.Bind(static_cast<int>(i + 1), args[i]);
    }
    int rc = 0;
    while ((rc = s.Step()) == SQLITE_ROW) {
        std::vector<Value> values(detail::kColumnCount);
        for (int i = 0; i < detail::kColumnCount; ++i) {
            switch (sqlite3_column_type(s.Get(), i + 1)) {
                case SQLITE_INTEGER:
                    values[static_cast<size_t>(i)] = sqlite3_column_int64(s.Get(), i + 1);
                    break;
                case SQLITE_NULL:
                    break;
                default: {
                    const auto* text = sqlite3_column_text(s.Get(), i + 1);
                    const int n = sqlite3_column_bytes(s.Get(), i + 1);
                    values[static_cast<size_t>(i)] =
                        std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n));
                }
            }
        }
        DownloadRow row;
        std::string why;
        if (!detail::RowFromValues(sqlite3_column_int64(s.Get(), 0), values, &row, &why)) {
            *error = Name(path_) + ": " + why;
            return false;
        }
        if (const auto* pushed = sqlite3_column_text(s.Get(), detail::kColumnCount + 1)) {
            row.pushedUtc = reinterpret_cast<const char*>(pushed);
        }
        rows->push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
        *error = Name(path_) + ": cannot read the record (" + Why(db_) + ")";
        return false;
    }
    return true;
}

bool SqliteRecord::Query(const HistoryFilter& filter, std::vector<DownloadRow>* rows,
                         std::string* error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string where;
    std::vector<std::string> args;
    auto add = [&](const char* clause, const std::string& value) {
        where += where.empty() ? " WHERE " : " AND ";
        where += clause;
        args.push_back(value);
    };
    if (!filter.sinceUtc.empty()) {
        add("started_utc >= ?", filter.sinceUtc);
    }
    if (!filter.port.empty()) {
        add("port = ?", filter.port);
    }
    if (filter.outcome) {
        add("outcome = ?", OutcomeName(*filter.outcome));
    }
    return Select(where, args, "started_utc DESC, id DESC", rows, error);
}

bool SqliteRecord::Unpushed(std::vector<DownloadRow>* rows, std::string* error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return Select(" WHERE pushed_utc IS NULL", {}, "id", rows, error);
}

bool SqliteRecord::MarkPushed(const std::string& rowKey, std::string* error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (db_ == nullptr) {
        *error = Name(path_) + ": the record is not open";
        return false;
    }
    // A plain UPDATE would take its write lock late, where a concurrent commit makes it fail
    // without waiting; BEGIN IMMEDIATE waits its turn.
    bool ok = ExecPatiently(db_, "BEGIN IMMEDIATE") == SQLITE_OK;
    if (ok) {
        Stmt s(db_, "UPDATE downloads SET pushed_utc = ? WHERE row_key = ?");
        s.Bind(1, FormatUtc(std::chrono::system_clock::now()));
        s.Bind(2, rowKey);
        ok = s.Ok() && s.Step() == SQLITE_DONE;
    }
    if (!ok || ExecPatiently(db_, "COMMIT") != SQLITE_OK) {
        *error = Name(path_) + ": cannot note the row as sent (" + Why(db_) + ")";
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

}  // namespace romlift::record
