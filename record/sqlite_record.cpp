#include "sqlite_record.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "columns.h"
#include "hex.h"
#include "row_capture.h"
#include "utc_time.h"

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

// `err` gets the errno behind Missing and Unreadable.
FileKind Look(const std::filesystem::path& path, int* err) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        *err = errno;
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
        *err = errno;
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

// "file:" and `path` with every byte but letters, digits, "/", "-", ".", "_" and "~" as %XX,
// asking SQLite to read it as a file nobody changes.
std::string ImmutableUri(const std::filesystem::path& path) {
    std::string uri = "file:";
    for (const unsigned char c : path.string()) {
        if (std::isalnum(c) != 0 || std::strchr("/-._~", c) != nullptr) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += Hex(std::span(&c, 1), HexCase::Upper);
        }
    }
    return uri + "?immutable=1";
}

std::filesystem::path FolderOf(const std::filesystem::path& path) {
    return path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
}

// 0 when this process may `mode` the file, else the errno (EROFS for a read-only mount, EPERM
// for an immutable file, which bind root too).
int MayNot(const std::filesystem::path& path, int mode) {
    return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0 ? 0 : errno;
}

// Why this process cannot write, in words that say what to mend. A full disk, a read-only
// mount, a file or folder without write permission and a lock each read differently from a
// damaged file: an administrator told "damaged" may delete a good record.
std::string NoSpace(const std::filesystem::path& path) {
    return Name(path) + ": the disk holding the record is full; free some space there";
}
std::string ReadOnlyMount(const std::filesystem::path& path) {
    return Name(path) + ": the record is on a read-only file system";
}
std::string Denied(const std::filesystem::path& path, const std::string& what) {
    return Name(path) + ": permission denied: user " + UserName() + " may not " + what;
}

std::string WriteProblem(const std::filesystem::path& path, int err, bool folder) {
    switch (err) {
        case EROFS:
            return ReadOnlyMount(path);
        case ENOSPC:
        case EDQUOT:
            return NoSpace(path);
        case ENOENT:
            return Name(path) + ": no such folder " + Name(FolderOf(path));
        case EACCES:
        case EPERM:
            return folder ? Name(path) + ": the record's folder " + Name(FolderOf(path)) +
                                " is read-only for user " + UserName() +
                                " (the record keeps its -wal and -shm files beside it)"
                          : Name(path) + ": the record is read-only for user " + UserName() +
                                " (it may be read but not written)";
        default:
            return Name(path) + ": cannot write the record (" + std::strerror(err) + ")";
    }
}

// Whether a record at `path` could be written: the file itself and the folder that takes its
// -wal and -shm files. "" when nothing stands in the way.
std::string WriteObstacle(const std::filesystem::path& path, bool exists) {
    if (exists) {
        if (const int err = MayNot(path, R_OK); err != 0) {
            return Denied(path, "read the record");
        }
        if (const int err = MayNot(path, W_OK); err != 0) {
            return WriteProblem(path, err, false);
        }
    }
    if (const int err = MayNot(FolderOf(path), W_OK | X_OK); err != 0) {
        return WriteProblem(path, err, true);
    }
    return {};
}

// Makes the missing folders down to the record's, each 0700 whatever the umask: the record
// names operators. Folders that are there already keep their mode.
bool MakeFolders(const std::filesystem::path& folder, std::string* error) {
    if (folder.empty() || folder == folder.root_path()) {
        return true;
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        return true;
    }
    if (!MakeFolders(folder.parent_path(), error)) {
        return false;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = Name(folder) + ": cannot make the record's folder (" + std::strerror(errno) + ")";
        return false;
    }
    ::chmod(folder.c_str(), 0700);
    return true;
}

// Makes the empty record file, 0600 whatever the umask (SQLite gives its -wal and -shm files
// the same mode). A file another program made first is taken as it is.
bool MakeFile(const std::filesystem::path& path, std::string* error) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        if (errno == EEXIST) {
            return true;
        }
        *error = WriteProblem(path, errno, true);
        return false;
    }
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    ::close(fd);
    return true;
}

// What an SQLite call that failed with `rc` on the record at `path` means, for a message:
// `doing` is what was being done ("cannot write the record") for the faults that have no
// words of their own.
std::string Trouble(sqlite3* db, const std::filesystem::path& path, int rc, const char* doing) {
    const int primary = rc & 0xFF;
    const int err = db != nullptr ? sqlite3_system_errno(db) : 0;
    if (primary == SQLITE_FULL || err == ENOSPC || err == EDQUOT) {
        return NoSpace(path);
    }
    if (IsBusy(rc)) {
        return Name(path) + ": the record is locked by another program (still busy after " +
               std::to_string(kSqliteBusyTimeoutMs / 1000) + " s)";
    }
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
        return Name(path) + ": the record is damaged (" + Why(db) + ")" + kLeft;
    }
    if (err == EROFS) {
        return ReadOnlyMount(path);
    }
    if (primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN || primary == SQLITE_PERM ||
        primary == SQLITE_IOERR) {
        struct stat st {};
        if (std::string why = WriteObstacle(path, ::stat(path.c_str(), &st) == 0); !why.empty()) {
            return why;
        }
    }
    return Name(path) + ": " + doing + " (" + Why(db) + ")";
}

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
    int err = 0;
    const FileKind kind = Look(path, &err);
    switch (kind) {
        case FileKind::Missing:
            if (!write) {
                return true;  // nothing recorded yet
            }
            if (createFolder && !MakeFolders(path.parent_path(), error)) {
                return false;
            }
            if (!MakeFile(path, error)) {
                return false;
            }
            break;
        case FileKind::Empty:
        case FileKind::Sqlite:
            if (write) {
                if (std::string why = WriteObstacle(path, true); !why.empty()) {
                    *error = why;
                    return false;
                }
            }
            break;
        case FileKind::Other:
            *error = Name(path) + ": not a romlift record (not an SQLite database)" + kLeft;
            return false;
        case FileKind::NotRegular:
            *error = Name(path) + ": not a romlift record (not a regular file)" + kLeft;
            return false;
        case FileKind::Unreadable:
            *error = err == EACCES
                         ? Denied(path, "read the record")
                         : Name(path) + ": cannot read the record (" + std::strerror(err) + ")";
            return false;
    }

    // The file is there now: SQLite never makes one, so every record file is made 0600 above.
    const int flags =
        (write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_FULLMUTEX;
    if (Connect(path.string(), flags, error) && Check(write, error)) {
        return Accepted();
    }
    const int rc = db_ != nullptr ? sqlite3_extended_errcode(db_) & 0xFF : SQLITE_CANTOPEN;
    Close();
    // A reader that cannot make the -shm file beside a record (a read-only share, an auditor's
    // copy, a full disk) reads the file as it is, without locks, when no writer has left rows
    // in a -wal file: those rows would be missed.
    struct stat wal {};
    const bool walRows = ::stat((path.string() + "-wal").c_str(), &wal) == 0 && wal.st_size > 0;
    if (write || walRows ||
        (rc != SQLITE_CANTOPEN && rc != SQLITE_READONLY && rc != SQLITE_IOERR &&
         rc != SQLITE_FULL)) {
        return false;
    }
    if (Connect(ImmutableUri(path), flags | SQLITE_OPEN_URI, error) && Check(write, error)) {
        return Accepted();
    }
    Close();
    return false;
}

bool SqliteRecord::Connect(const std::string& name, int flags, std::string* error) {
    if (const int rc = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr); rc != SQLITE_OK) {
        *error = Trouble(db_, path_, rc, "cannot open the record");
        return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kSqliteBusyTimeoutMs);
    // A file refused by Check must stay byte for byte as it was: no checkpoint into it on close.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    return true;
}

bool SqliteRecord::Accepted() {
    if (db_ != nullptr) {  // Check closes an empty file opened for reading
        sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    }
    return true;
}

// Looks at the file's identity and, for writing, its pages before anything may write to it;
// then makes the table when the file is new, and turns WAL on.
bool SqliteRecord::Check(bool write, std::string* error) {
    int64_t app = 0;
    int64_t version = 0;
    int64_t objects = 0;
    // One statement, one snapshot: another program may be making the table right now, and a
    // file seen half before and half after its commit would look like someone else's.
    int rc = SQLITE_ERROR;
    {
        Stmt s(db_,
               "SELECT (SELECT application_id FROM pragma_application_id()),"
               " (SELECT user_version FROM pragma_user_version()),"
               " (SELECT count(*) FROM sqlite_schema)");
        rc = s.Ok() ? s.Step() : sqlite3_extended_errcode(db_);
        if (rc == SQLITE_ROW) {
            app = sqlite3_column_int64(s.Get(), 0);
            version = sqlite3_column_int64(s.Get(), 1);
            objects = sqlite3_column_int64(s.Get(), 2);
        }
    }
    if (rc != SQLITE_ROW) {
        *error = Trouble(db_, path_, sqlite3_extended_errcode(db_), "cannot read the record");
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
    if (!fresh && !QuickCheck(error)) {
        return false;
    }
    if (const int wal = ExecPatiently(db_, "PRAGMA journal_mode=WAL"); wal != SQLITE_OK) {
        *error = Trouble(db_, path_, wal, "cannot turn on the write-ahead log");
        return false;
    }
    return fresh || version < kSqliteSchemaVersion ? Create(error) : true;
}

// A damaged page found now costs nothing; found by a later write or read, it costs the row.
bool SqliteRecord::QuickCheck(std::string* error) {
    Stmt s(db_, "PRAGMA quick_check(1)");
    const int rc = s.Ok() ? s.Step() : sqlite3_extended_errcode(db_);
    if (rc != SQLITE_ROW) {
        *error = Trouble(db_, path_, sqlite3_extended_errcode(db_), "cannot check the record");
        return false;
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s.Get(), 0));
    std::string said = text != nullptr ? text : "";
    std::replace(said.begin(), said.end(), '\n', ' ');  // one line: "... *** Page 4: ..."
    if (said != "ok") {
        *error =
            Name(path_) + ": the record is damaged (SQLite's quick check: " + said + ")" + kLeft;
        return false;
    }
    return true;
}

namespace {

using detail::Column;
using detail::Store;

// The table as this build makes it; a file of schema 1 is rebuilt into it in place.
std::string Table() {
    return detail::CreateTable(Store::File) +
           "CREATE INDEX downloads_started ON downloads (started_utc);";
}

// Schema 1 had no unfinished rows, run or end step: its rows keep everything and get '' there.
constexpr const char* kFromSchema1 =
    "ALTER TABLE downloads RENAME TO downloads_v1;"
    "DROP INDEX downloads_started;";
std::string CopySchema1() {
    std::vector<const Column*> old;
    for (const Column* c : detail::TableOrder(Store::File)) {
        if (c->since == 1) {
            old.push_back(c);
        }
    }
    const std::string names = detail::NameList(old);
    return "INSERT INTO downloads (" + names + ") SELECT " + names +
           " FROM downloads_v1;"
           "DROP TABLE downloads_v1;";
}

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
        sql = Table() + marks;
    } else if (version < kSqliteSchemaVersion) {
        sql = kFromSchema1 + Table() + CopySchema1() + marks;
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
    const std::vector<Value> values = detail::RowValues(row);
    std::string sql =
        "INSERT INTO downloads (" + detail::NameList(detail::Written()) + ") VALUES (";
    for (size_t i = 0; i < values.size(); ++i) {
        sql += i == 0 ? "?" : ", ?";
    }
    // A row is written twice: unfinished before the first byte, then complete. A row that is
    // complete already is never changed again (a late or repeated write cannot undo it).
    // A row pushed while unfinished goes to the server again once it is complete.
    sql += ") ON CONFLICT (" + detail::SqlName(detail::kKeyColumn) + ") DO UPDATE SET " +
           detail::UpdateAssignments("excluded.") +
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
            for (size_t i = 0; i < values.size(); ++i) {
                s.Bind(static_cast<int>(i + 1), values[i]);
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
    // A file of schema 1 read without upgrading it has no run or end step: '' stands in for
    // the columns it lacks.
    const std::vector<const Column*>& columns = detail::ReadBack(Store::File);
    std::string list = "id";
    for (const Column* c : columns) {
        list += ", " + (c->since <= std::max(version_, 1) ? detail::SqlName(*c) : "''");
    }
    Stmt s(db_, "SELECT " + list + " FROM downloads" + where + " ORDER BY " + order);
    if (!s.Ok()) {
        *error = Trouble(db_, path_, sqlite3_extended_errcode(db_), "cannot read the record");
        return false;
    }
    for (size_t i = 0; i < args.size(); ++i) {
        s.Bind(static_cast<int>(i + 1), args[i]);
    }
    int rc = 0;
    while ((rc = s.Step()) == SQLITE_ROW) {
        std::vector<Value> values(columns.size());
        for (size_t i = 0; i < values.size(); ++i) {
            const int at = static_cast<int>(i + 1);
            switch (sqlite3_column_type(s.Get(), at)) {
                case SQLITE_INTEGER:
                    values[i] = sqlite3_column_int64(s.Get(), at);
                    break;
                case SQLITE_NULL:
                    break;
                default: {
                    const auto* text = sqlite3_column_text(s.Get(), at);
                    const int n = sqlite3_column_bytes(s.Get(), at);
                    values[i] =
                        std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n));
                }
            }
        }
        DownloadRow row;
        std::string why;
        if (!detail::RowFromValues(sqlite3_column_int64(s.Get(), 0), columns, values, &row, &why)) {
            *error = Name(path_) + ": " + why;
            return false;
        }
        rows->push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
        *error = Trouble(db_, path_, rc, "cannot read the record");
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
    if (!filter.untilUtc.empty()) {
        add("started_utc < ?", filter.untilUtc);
    }
    if (!filter.port.empty()) {
        add("port = ?", filter.port);
    }
    if (!filter.station.empty()) {
        add("station = ?", filter.station);
    }
    if (!filter.model.empty()) {
        add("model = ?", filter.model);
    }
    if (filter.outcome) {
        add("outcome = ?", OutcomeName(*filter.outcome));
    }
    if (filter.pending) {
        where += where.empty() ? " WHERE " : " AND ";
        where += "pushed_utc IS NULL";
    }
    const std::string order =
        "started_utc DESC, id DESC" +
        (filter.limit > 0 ? " LIMIT " + std::to_string(filter.limit) : std::string());
    return Select(where, args, order.c_str(), rows, error);
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
