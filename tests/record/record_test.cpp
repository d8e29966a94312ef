// The record against real engines: SQLite files in a scratch folder and a PostgreSQL server
// started for the suite.
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "file_faults.h"
#include "pg_record.h"
#include "pg_server.h"
#include "record_sink.h"
#include "sqlite_record.h"
#include "utc_time.h"

namespace romlift::record {
namespace {

using testing::PgServer;
using testing::ScratchDir;

DownloadRow Row(const std::string& started, const std::string& port, Outcome outcome) {
    DownloadRow r;
    r.rowKey = NewRowKey();
    r.startedUtc = started;
    r.endedUtc = started;
    r.durationMs = 61234;
    r.host = "bench-3";
    r.user = "ana";
    r.program = "romlift-cli";
    r.version = "1.0.1";
    r.port = port;
    r.device = "/dev/ttyUSB0";
    r.adapter = "0403:6001 serial A50285BI";
    r.model = "VX7R-10";
    r.typeCode = 4000000000;  // more than 31 bits survive
    r.imagePath = "/srv/fw/PLQ5A \"v2\", final\n.abs";
    r.imageSize = 5000000000;
    r.imageSha256 = std::string(64, 'a');
    r.imageXor = 255;
    r.framesConfirmed = 17;
    r.framesTotal = 100000;
    r.outcome = outcome;
    r.statusText = "Download failed.\nRetry?";
    r.station = "Línea 2";
    r.operatorName = "O'Brien";
    r.runId = "0c5e8d52-7a4f-4c1e-9b0e-3f2a1d6c8b71";
    r.endedAt = "frame 18";
    r.unitSerial = "SN-0042";
    r.lot = "WO 7781";
    r.releaseListSha256 = std::string(64, 'b');
    r.releaseKey = "0123456789abcdef";
    return r;
}

std::string Slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs `sql` on the SQLite file at `path` with a connection of its own.
bool Sql(const std::filesystem::path& path, const char* sql) {
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// One server for the suite: initdb takes seconds.
class Server {
  public:
    static PgServer* Get(std::string* why) {
        static PgServer server;
        static std::string failure;
        static const bool ok = server.Start(&failure);
        *why = failure;
        return ok ? &server : nullptr;
    }
};

// The same checks against either engine: every column back as written, filters, newest first.
class Backend : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (GetParam()) {
            std::string why;
            server_ = Server::Get(&why);
            if (server_ == nullptr) {
                GTEST_SKIP() << "PostgreSQL: " << why;
            }
            ASSERT_TRUE(pg_.Connect(server_->Uri(), &why)) << why;
        } else {
            std::string why;
            ASSERT_TRUE(file_.Open(dir_.Path() / "history.sqlite", SqliteRecord::Access::Write,
                                   false, &why))
                << why;
        }
    }
    bool Insert(DownloadRow& r, std::string* why) {
        bool inserted = false;
        return GetParam() ? pg_.Put(r, &inserted, why) : file_.Put(r, why);
    }
    std::vector<DownloadRow> Query(const HistoryFilter& f) {
        std::vector<DownloadRow> rows;
        std::string why;
        EXPECT_TRUE(GetParam() ? pg_.Query(f, &rows, &why) : file_.Query(f, &rows, &why)) << why;
        return rows;
    }

    ScratchDir dir_;
    PgServer* server_ = nullptr;
    PgRecord pg_;
    SqliteRecord file_;
};

TEST_P(Backend, RowsComeBackWholeAndFiltered) {
    const std::string port = "COM" + NewRowKey().substr(0, 8);  // the server outlives one test
    DownloadRow a = Row("2026-12-01T08:00:00.001Z", port, Outcome::Confirmed);
    DownloadRow b = Row("2026-12-02T08:00:00.000Z", port, Outcome::Interrupted);
    b.imageXor.reset();
    b.station = "Línea 3";
    DownloadRow c = Row("2026-12-03T23:59:59.999Z", port, Outcome::Failed);
    c.model = "VX7R-11";
    for (DownloadRow* r : {&a, &b, &c}) {
        std::string why;
        ASSERT_TRUE(Insert(*r, &why)) << why;
        EXPECT_GT(r->id, 0);
    }
    auto filter = [&](HistoryFilter f) {
        f.port = port;
        return Query(f);
    };
    using Rows = std::vector<DownloadRow>;
    EXPECT_EQ(filter({}), (Rows{c, b, a}));
    EXPECT_EQ(filter({.sinceUtc = *ParseSince("2026-12-02")}), (Rows{c, b}));
    EXPECT_EQ(filter({.untilUtc = *ParseSince("2026-12-02")}), (Rows{a}));
    EXPECT_EQ(filter({.sinceUtc = *ParseSince("2026-12-01T08:00:00.001"),
                      .untilUtc = *ParseSince("2026-12-03T23:59:59.999")}),
              (Rows{b, a}));
    EXPECT_EQ(filter({.station = "Línea 3"}), (Rows{b}));
    EXPECT_EQ(filter({.model = "VX7R-11"}), (Rows{c}));
    EXPECT_EQ(filter({.outcome = Outcome::Interrupted}), (Rows{b}));
    EXPECT_EQ(filter({.limit = 2}), (Rows{c, b}));
    EXPECT_EQ(filter({.model = "VX7R-10", .limit = 1}), (Rows{b}));
    // The same key again is the same row, kept once.
    std::string why;
    DownloadRow again = a;
    ASSERT_TRUE(Insert(again, &why)) << why;
    EXPECT_EQ(again.id, a.id);
    EXPECT_EQ(filter({}).size(), 3u);
    // Rows wait for a push only in a station's own file.
    if (GetParam()) {
        std::vector<DownloadRow> rows;
        EXPECT_FALSE(pg_.Query({.pending = true}, &rows, &why));
    } else {
        ASSERT_TRUE(file_.MarkPushed(b.rowKey, &why)) << why;
        EXPECT_EQ(filter({.pending = true}), (Rows{c, a}));
    }
}

// The row written before the first byte is completed by the attempt's end, in place; a complete
// row is never changed again, whatever comes later with its key (a late or repeated write).
TEST_P(Backend, AnUnfinishedRowIsCompletedOnceAndThenLeftAlone) {
    const std::string port = "COM" + NewRowKey().substr(0, 8);
    DownloadRow start = Row("2026-12-04T08:00:00.000Z", port, Outcome::Unfinished);
    start.endedUtc.clear();
    start.durationMs = 0;
    start.framesConfirmed = 0;
    start.imageXor.reset();
    start.runId = NewRowKey();
    std::string why;
    ASSERT_TRUE(Insert(start, &why)) << why;
    HistoryFilter f;
    f.port = port;
    EXPECT_EQ(Query(f), std::vector<DownloadRow>{start});

    DownloadRow done = start;
    done.outcome = Outcome::Confirmed;
    done.endedUtc = "2026-12-04T08:01:00.000Z";
    done.durationMs = 60000;
    done.framesConfirmed = done.framesTotal;
    done.imageXor = 0x5A;
    done.endedAt = "done";
    ASSERT_TRUE(Insert(done, &why)) << why;
    EXPECT_EQ(done.id, start.id);
    DownloadRow late = done;
    late.outcome = Outcome::Failed;
    late.endedAt = "frame 3";
    ASSERT_TRUE(Insert(late, &why)) << why;
    EXPECT_EQ(Query(f), std::vector<DownloadRow>{done});
}

INSTANTIATE_TEST_SUITE_P(Engines, Backend, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

// Eight threads (four sharing one connection, four with their own) and a second process write
// at once: every row is there, none twice, and no write gave up.
TEST(SqliteRecordTest, ConcurrentWritersLoseNothing) {
    ScratchDir dir;
    const auto path = dir.Path() / "history.sqlite";
    constexpr int kRows = 40;
    auto writeRows = [&](SqliteRecord* shared, const std::string& port,
                         std::vector<std::string>* errors) {
        SqliteRecord own;
        std::string why;
        SqliteRecord* rec = shared;
        if (rec == nullptr) {
            if (!own.Open(path, SqliteRecord::Access::Write, false, &why)) {
                errors->push_back(why);
                return;
            }
            rec = &own;
        }
        for (int i = 0; i < kRows; ++i) {
            DownloadRow r = Row("2026-12-09T10:00:00.000Z", port, Outcome::Confirmed);
            if (!rec->Put(r, &why)) {
                errors->push_back(why);
            }
        }
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::vector<std::string> errors;
        writeRows(nullptr, "child", &errors);
        ::_exit(errors.empty() ? 0 : 1);
    }
    SqliteRecord shared;
    std::string why;
    ASSERT_TRUE(shared.Open(path, SqliteRecord::Access::Write, false, &why)) << why;
    std::vector<std::vector<std::string>> errors(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back(writeRows, t < 4 ? &shared : nullptr, "COM" + std::to_string(t + 1),
                             &errors[static_cast<size_t>(t)]);
    }
    for (auto& t : threads) {
        t.join();
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second process failed";
    for (const auto& e : errors) {
        EXPECT_TRUE(e.empty()) << e.front();
    }
    std::vector<DownloadRow> rows;
    ASSERT_TRUE(shared.Query({}, &rows, &why)) << why;
    std::set<std::string> keys;
    for (const auto& r : rows) {
        keys.insert(r.rowKey);
    }
    EXPECT_EQ(rows.size(), 9u * kRows);
    EXPECT_EQ(keys.size(), rows.size());
}

// A file that is not this record is refused with its name and a reason, for writing and for
// reading, and stays byte for byte as it was.
TEST(SqliteRecordTest, ForeignOrDamagedFilesAreLeftAlone) {
    ScratchDir dir;
    const auto foreign = dir.Path() / "foreign.sqlite";
    ASSERT_TRUE(Sql(foreign, "CREATE TABLE downloads (x); INSERT INTO downloads VALUES (1)"));
    const auto newer = dir.Path() / "newer.sqlite";
    {
        SqliteRecord r;
        std::string why;
        ASSERT_TRUE(r.Open(newer, SqliteRecord::Access::Write, false, &why)) << why;
    }
    const std::string later = "PRAGMA user_version = " + std::to_string(kSqliteSchemaVersion + 1);
    ASSERT_TRUE(Sql(newer, later.c_str()));
    // A record whose first page was scribbled over past the header.
    const auto damaged = dir.Path() / "damaged.sqlite";
    std::filesystem::copy_file(newer, damaged);
    {
        std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(100);
        f << std::string(3000, '\xA5');
    }
    // A record whose identity reads well but one of whose later pages was scribbled over: only
    // SQLite's quick check finds it before a row is lost in it.
    const auto damagedPage = dir.Path() / "damaged-page.sqlite";
    {
        SqliteRecord r;
        std::string why;
        ASSERT_TRUE(r.Open(damagedPage, SqliteRecord::Access::Write, false, &why)) << why;
        for (int i = 0; i < 40; ++i) {
            DownloadRow row = Row("2026-12-09T10:00:00.000Z", "COM1", Outcome::Confirmed);
            ASSERT_TRUE(r.Put(row, &why)) << why;
        }
    }
    const auto pages = std::filesystem::file_size(damagedPage) / 4096;
    ASSERT_GE(pages, 4u);
    {
        std::fstream f(damagedPage, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>((pages - 1) * 4096));
        f << std::string(4096, '\xA5');
    }
    const auto text = dir.Write("notes.sqlite", {'h', 'e', 'l', 'l', 'o', '\n'});

    struct Case {
        std::filesystem::path path;
        std::string reason;
        bool readable;
    };
    for (const Case& c :
         {Case{foreign, "another program's SQLite database", false},
          Case{newer, "newer than this program's " + std::to_string(kSqliteSchemaVersion), true},
          Case{damaged, "damaged", false},
          Case{damagedPage, "the record is damaged (SQLite's quick check: ", true},
          Case{text, "not an SQLite database", false}}) {
        const std::string before = Slurp(c.path);
        const int descriptors = testing::OpenDescriptorCount();
        SqliteRecord r;
        std::string why;
        EXPECT_FALSE(r.Open(c.path, SqliteRecord::Access::Write, false, &why)) << c.path;
        EXPECT_NE(why.find(c.path.string() + ": "), std::string::npos) << why;
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos) << "one line: " << why;
        std::string readWhy;
        EXPECT_EQ(r.Open(c.path, SqliteRecord::Access::Read, false, &readWhy), c.readable)
            << readWhy;
        EXPECT_EQ(Slurp(c.path), before) << c.path << " changed";
        if (!c.readable) {
            EXPECT_EQ(testing::OpenDescriptorCount(), descriptors) << c.path << " left open";
        }
    }
    // Reading a record that is not there yet, or is still empty, finds no rows and makes nothing.
    for (const auto& path : {dir.Path() / "none.sqlite", dir.Write("empty.sqlite", {})}) {
        SqliteRecord none;
        std::vector<DownloadRow> rows{DownloadRow{}};
        std::string why;
        ASSERT_TRUE(none.Open(path, SqliteRecord::Access::Read, false, &why)) << why;
        EXPECT_TRUE(none.Query({}, &rows, &why)) << why;
        EXPECT_TRUE(rows.empty()) << path;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "none.sqlite"));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "foreign.sqlite-wal"));
}

// A record out of this process's reach is refused at open with words that say what to mend,
// never "damaged" (an administrator may delete a damaged file); the file stays as it was, and
// what can still be read reads.
TEST(SqliteRecordTest, EachFaultOutOfReachHasItsOwnWords) {
    ScratchDir dir;
    auto makeRecord = [](const std::filesystem::path& path) {
        SqliteRecord r;
        std::string why;
        DownloadRow row = Row("2026-12-09T10:00:00.000Z", "COM1", Outcome::Confirmed);
        return r.Open(path, SqliteRecord::Access::Write, false, &why) && r.Put(row, &why);
    };
    struct Case {
        const char* name;
        std::filesystem::path path;
        std::string words;
        bool readable;  // history can still read it
    };
    std::vector<Case> cases;
    std::vector<std::string> skipped;

    // A real small disk, filled to the last block, holding a record and about to hold another.
    testing::SmallTmpfs disk(256 * 1024);
    if (disk.Mounted()) {
        ASSERT_TRUE(makeRecord(disk.Path() / "kept.sqlite"));
        ASSERT_TRUE(disk.Fill());
        cases.push_back({"full disk", disk.Path() / "kept.sqlite",
                         "the disk holding the record is full", true});
        cases.push_back({"full disk, new file", disk.Path() / "new.sqlite",
                         "the disk holding the record is full", false});
    } else {
        skipped.push_back(disk.Why());
    }
    const auto shared = dir.Path() / "shared";
    std::filesystem::create_directory(shared);
    ASSERT_TRUE(makeRecord(shared / "line2.sqlite"));
    testing::ReadOnlyBind mount(shared);
    if (mount.Mounted()) {
        cases.push_back({"read-only mount", mount.Path() / "line2.sqlite",
                         "the record is on a read-only file system", true});
    } else {
        skipped.push_back(mount.Why());
    }
    const auto file = dir.Path() / "file.sqlite";
    ASSERT_TRUE(makeRecord(file));
    testing::Unwritable lockedFile(file);
    const auto folder = dir.Path() / "folder";
    std::filesystem::create_directory(folder);
    ASSERT_TRUE(makeRecord(folder / "line3.sqlite"));
    testing::Unwritable lockedFolder(folder);
    if (lockedFile.Done() && lockedFolder.Done()) {
        cases.push_back({"read-only file", file, "the record is read-only for user ", true});
        cases.push_back({"read-only folder", folder / "line3.sqlite",
                         "the record's folder " + folder.string() + " is read-only for user ",
                         true});
    } else {
        skipped.push_back(lockedFile.Why() + lockedFolder.Why());
    }
    cases.push_back({"no folder", dir.Path() / "gone" / "line4.sqlite",
                     "no such folder " + (dir.Path() / "gone").string(), false});
    // Another program holding the record in an exclusive lock longer than the busy timeout
    // (its change not committed: the file itself is as it was), until the test lets it go.
    const auto held = dir.Path() / "held.sqlite";
    ASSERT_TRUE(makeRecord(held));
    int locked[2], release[2];
    ASSERT_EQ(::pipe(locked), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ::close(release[1]);
        ::close(locked[0]);
        sqlite3* db = nullptr;
        const bool ok = sqlite3_open(held.c_str(), &db) == SQLITE_OK &&
                        sqlite3_exec(db,
                                     "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"
                                     " UPDATE downloads SET station = 'held'",
                                     nullptr, nullptr, nullptr) == SQLITE_OK;
        char c = ok ? 'y' : 'n';
        (void)!::write(locked[1], &c, 1);
        (void)!::read(release[0], &c, 1);  // until the test closes its end
        ::_exit(0);
    }
    ::close(locked[1]);
    ::close(release[0]);
    // Lets the holder go however the test ends.
    struct Release {
        int fd;
        pid_t pid;
        ~Release() {
            ::close(fd);
            ::waitpid(pid, nullptr, 0);
        }
    } letGo{release[1], holder};
    char ready = 0;
    ASSERT_EQ(::read(locked[0], &ready, 1), 1);
    ASSERT_EQ(ready, 'y');
    cases.push_back({"locked", held,
                     "the record is locked by another program (still busy after " +
                         std::to_string(kSqliteBusyTimeoutMs / 1000) + " s)",
                     false});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string before = Slurp(c.path);
        const int descriptors = testing::OpenDescriptorCount();
        SqliteRecord r;
        std::string why;
        EXPECT_FALSE(r.Open(c.path, SqliteRecord::Access::Write, false, &why));
        EXPECT_NE(why.find(c.path.string() + ": " + c.words), std::string::npos) << why;
        EXPECT_EQ(why.find("damaged"), std::string::npos) << why;
        EXPECT_EQ(Slurp(c.path), before) << "changed";
        EXPECT_EQ(testing::OpenDescriptorCount(), descriptors) << "left open";
        std::vector<DownloadRow> rows;
        if (c.readable) {
            EXPECT_TRUE(r.Open(c.path, SqliteRecord::Access::Read, false, &why) &&
                        r.Query({}, &rows, &why))
                << why;
            EXPECT_EQ(rows.size(), 1u);
        }
    }
    // A file this user may not read at all. Root reads anything, so root asks from a child that
    // runs as nobody; anyone else takes the file's read bit away.
    const auto closed = dir.Path() / "closed.sqlite";
    ASSERT_TRUE(makeRecord(closed));
    std::string why;
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        ::chmod(dir.Path().c_str(), 0711);
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(out[0]);
            std::string said = "could not become nobody";
            if (::setgroups(0, nullptr) == 0 && ::setgid(nobody->pw_gid) == 0 &&
                ::setuid(nobody->pw_uid) == 0) {
                SqliteRecord r;
                said = r.Open(closed, SqliteRecord::Access::Write, false, &said) ? "opened" : said;
            }
            ::_exit(::write(out[1], said.data(), said.size()) < 0 ? 1 : 0);
        }
        ::close(out[1]);
        char buf[512];
        for (ssize_t n = 0; (n = ::read(out[0], buf, sizeof buf)) > 0;) {
            why.append(buf, static_cast<size_t>(n));
        }
        ::close(out[0]);
        ::waitpid(child, nullptr, 0);
        EXPECT_EQ(why,
                  closed.string() + ": permission denied: user nobody may not read the record");
    } else {
        ::chmod(closed.c_str(), 0200);
        SqliteRecord r;
        EXPECT_FALSE(r.Open(closed, SqliteRecord::Access::Write, false, &why));
        EXPECT_NE(why.find(closed.string() + ": permission denied: user "), std::string::npos)
            << why;
    }
    ::close(locked[0]);
    for (const std::string& s : skipped) {
        std::printf("skipped: %s\n", s.c_str());
    }
}

// The record names operators: the files and folders it makes are the owner's alone whatever
// the umask; a file or folder that was there keeps its mode.
TEST(SqliteRecordTest, WhatItMakesIsTheOwnersAloneWhateverTheUmask) {
    ScratchDir dir;
    auto modeOf = [](const std::filesystem::path& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    };
    ::chmod(dir.Path().c_str(), 0751);
    const auto kept = dir.Path() / "kept.sqlite";
    ASSERT_TRUE(Sql(kept, "SELECT 1"));  // an empty file made by another hand
    ::chmod(kept.c_str(), 0640);
    for (const mode_t mask : {0000, 0022, 0277}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        const auto top = dir.Path() / ("state" + std::to_string(mask));
        const auto path = top / "romlift" / "history.sqlite";
        const mode_t saved = ::umask(mask);
        std::string why;
        for (const auto& p : {path, kept}) {
            SqliteRecord r;
            DownloadRow row = Row("2026-12-09T10:00:00.000Z", "COM1", Outcome::Confirmed);
            EXPECT_TRUE(r.Open(p, SqliteRecord::Access::Write, true, &why) && r.Put(row, &why))
                << why;
            for (const char* side : {"", "-wal", "-shm"}) {
                EXPECT_EQ(modeOf(p.string() + side), p == kept ? 0640 : 0600) << p << side;
            }
        }
        ::umask(saved);
        EXPECT_EQ(modeOf(top), 0700);
        EXPECT_EQ(modeOf(top / "romlift"), 0700);
    }
    EXPECT_EQ(modeOf(dir.Path()), 0751) << "a folder that was there keeps its mode";
}

// The default file follows XDG_STATE_HOME when it is absolute, else HOME; its folder is made.
// A station's file from before rows were written at the start is brought to the new schema in
// place on its first write: every old row kept as it was, new rows beside them.
TEST(SqliteRecordTest, AnOlderFileIsUpgradedInPlace) {
    ScratchDir dir;
    const auto file = dir.Path() / "v1.sqlite";
    ASSERT_TRUE(Sql(file,
                    "CREATE TABLE downloads (id INTEGER PRIMARY KEY, row_key TEXT NOT NULL UNIQUE,"
                    " started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL,"
                    " duration_ms INTEGER NOT NULL, host TEXT NOT NULL, \"user\" TEXT NOT NULL,"
                    " program TEXT NOT NULL, version TEXT NOT NULL, port TEXT NOT NULL,"
                    " device TEXT NOT NULL, adapter TEXT NOT NULL, model TEXT NOT NULL,"
                    " type_code INTEGER NOT NULL, image_path TEXT NOT NULL,"
                    " image_size INTEGER NOT NULL, image_sha256 TEXT NOT NULL,"
                    " image_xor INTEGER CHECK (image_xor BETWEEN 0 AND 255),"
                    " frames_confirmed INTEGER NOT NULL, frames_total INTEGER NOT NULL,"
                    " outcome TEXT NOT NULL CHECK (outcome IN ('confirmed', 'failed',"
                    " 'interrupted')), status_text TEXT NOT NULL, station TEXT NOT NULL,"
                    " \"operator\" TEXT NOT NULL, pushed_utc TEXT) STRICT;"
                    "CREATE INDEX downloads_started ON downloads (started_utc);"
                    "INSERT INTO downloads VALUES (7, 'k-old', '2026-11-30T10:00:00.000Z',"
                    " '2026-11-30T10:01:00.000Z', 60000, 'h', 'u', 'romlift-cli', '1.0.1', 'COM1',"
                    " '/dev/ttyS0', '', 'VX7R-KT-121B-XXX', 10, '/fw/a.abs', 100, 'ab', 17, 2, 2,"
                    " 'confirmed', 'DownLoad is Completed Successfully', 's', 'o', NULL);"
                    "PRAGMA application_id = 1380730452; PRAGMA user_version = 1;"));
    SqliteRecord reader;
    std::string why;
    std::vector<DownloadRow> before;
    ASSERT_TRUE(reader.Open(file, SqliteRecord::Access::Read, false, &why)) << why;
    ASSERT_TRUE(reader.Query({}, &before, &why)) << why;
    ASSERT_EQ(before.size(), 1u);

    SqliteRecord r;
    ASSERT_TRUE(r.Open(file, SqliteRecord::Access::Write, false, &why)) << why;
    DownloadRow fresh = Row("2026-12-05T08:00:00.000Z", "COM2", Outcome::Unfinished);
    ASSERT_TRUE(r.Put(fresh, &why)) << why;
    std::vector<DownloadRow> after;
    ASSERT_TRUE(r.Query({}, &after, &why)) << why;
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1], before[0]);
    EXPECT_EQ(after[1].id, 7);
    EXPECT_EQ(after[0].outcome, Outcome::Unfinished);
}

TEST(SqliteRecordTest, DefaultFileFollowsTheEnvironment) {
    ScratchDir dir;
    testing::EnvVar state("XDG_STATE_HOME");
    testing::EnvVar home("HOME");
    testing::EnvVar record("ROMLIFT_RECORD");
    home.Set((dir.Path() / "home").c_str());
    state.Set("relative/state");
    EXPECT_EQ(DefaultRecordPath(), dir.Path() / "home/.local/state/romlift/history.sqlite");
    state.Set((dir.Path() / "state").c_str());
    const auto expected = dir.Path() / "state/romlift/history.sqlite";
    EXPECT_EQ(DefaultRecordPath(), expected);

    record.Unset();
    EXPECT_EQ(ChosenRecordTarget(""), "");
    std::string why;
    auto sink = OpenRecordSink(ChosenRecordTarget(""), &why);
    ASSERT_NE(sink, nullptr) << why;
    EXPECT_EQ(sink->Where(), expected.string());
    EXPECT_TRUE(std::filesystem::is_regular_file(expected));
    record.Set("/elsewhere.sqlite");
    EXPECT_EQ(ChosenRecordTarget(""), "/elsewhere.sqlite");
    EXPECT_EQ(ChosenRecordTarget("given.sqlite"), "given.sqlite");
}

// Stations that meet an empty server at the same moment make one table between them, and all
// their rows land in it.
// A database of its own on the suite's server, with `sql` run in it; its URI, "" on failure.
std::string FreshDatabase(const PgServer& server, const std::string& sql = "") {
    const std::string db = "plant_" + NewRowKey().substr(0, 8);
    auto exec = [](const std::string& uri, const std::string& text) {
        PGconn* conn = PQconnectdb(uri.c_str());
        PGresult* r = PQexec(conn, text.c_str());
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        PQfinish(conn);
        return ok;
    };
    std::string uri = server.Uri();
    uri.replace(uri.find("/postgres?"), 10, "/" + db + "?");
    if (!exec(server.Uri(), "CREATE DATABASE " + db) || (!sql.empty() && !exec(uri, sql))) {
        return {};
    }
    return uri;
}

// A plant's server from before rows were written at the start: the first station to connect
// brings the table to the new schema, the old rows kept, and new rows go in beside them.
TEST(ServerRecordTest, AnOlderTableIsUpgradedInPlace) {
    std::string why;
    PgServer* server = Server::Get(&why);
    if (server == nullptr) {
        GTEST_SKIP() << "PostgreSQL: " << why;
    }
    const std::string uri = FreshDatabase(
        *server,
        "CREATE TABLE downloads (id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
        " row_key uuid NOT NULL UNIQUE, started_utc timestamptz NOT NULL,"
        " ended_utc timestamptz NOT NULL, duration_ms bigint NOT NULL, host text NOT NULL,"
        " \"user\" text NOT NULL, program text NOT NULL, version text NOT NULL, port text NOT NULL,"
        " device text NOT NULL, adapter text NOT NULL, model text NOT NULL,"
        " type_code bigint NOT NULL, image_path text NOT NULL, image_size bigint NOT NULL,"
        " image_sha256 text NOT NULL, image_xor smallint CHECK (image_xor BETWEEN 0 AND 255),"
        " frames_confirmed integer NOT NULL, frames_total integer NOT NULL,"
        " outcome text NOT NULL CHECK (outcome IN ('confirmed', 'failed', 'interrupted')),"
        " status_text text NOT NULL, station text NOT NULL, \"operator\" text NOT NULL,"
        " received_utc timestamptz NOT NULL DEFAULT now());"
        "CREATE INDEX downloads_started ON downloads (started_utc);"
        "CREATE TABLE romlift_meta (name text PRIMARY KEY, value text NOT NULL);"
        "INSERT INTO romlift_meta VALUES ('schema_version', '1');"
        "INSERT INTO downloads (row_key, started_utc, ended_utc, duration_ms, host, \"user\","
        " program, version, port, device, adapter, model, type_code, image_path, image_size,"
        " image_sha256, image_xor, frames_confirmed, frames_total, outcome, status_text, station,"
        " \"operator\") VALUES ('1b4e28ba-2fa1-41d2-883f-0016d3cca427', '2026-11-30T10:00:00Z',"
        " '2026-11-30T10:01:00Z', 60000, 'h', 'u', 'romlift-cli', '1.0.1', 'COM1', '/dev/ttyS0',"
        " '', 'VX7R-KT-121B-XXX', 10, '/fw/a.abs', 100, 'ab', 17, 2, 2, 'confirmed', 'done', 's',"
        " 'o')");
    ASSERT_FALSE(uri.empty()) << "could not make a table of schema 1";
    PgRecord pg;
    ASSERT_TRUE(pg.Connect(uri, &why)) << why;
    DownloadRow fresh = Row("2026-12-05T08:00:00.000Z", "COM2", Outcome::Unfinished);
    fresh.endedUtc.clear();
    bool inserted = false;
    ASSERT_TRUE(pg.Put(fresh, &inserted, &why)) << why;
    std::vector<DownloadRow> rows;
    ASSERT_TRUE(pg.Query({}, &rows, &why)) << why;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], fresh);
    EXPECT_EQ(rows[1].rowKey, "1b4e28ba-2fa1-41d2-883f-0016d3cca427");
    EXPECT_EQ(rows[1].outcome, Outcome::Confirmed);
    EXPECT_EQ(rows[1].endedAt, "");
}

TEST(ServerRecordTest, StationsStartingTogetherShareOneTable) {
    std::string why;
    PgServer* server = Server::Get(&why);
    if (server == nullptr) {
        GTEST_SKIP() << "PostgreSQL: " << why;
    }
    const std::string uri = FreshDatabase(*server);
    ASSERT_FALSE(uri.empty()) << "CREATE DATABASE failed";

    constexpr int kStations = 6;
    std::vector<std::string> errors(kStations);
    std::vector<std::thread> stations;
    for (int i = 0; i < kStations; ++i) {
        stations.emplace_back([&, i] {
            PgRecord pg;
            DownloadRow r = Row("2026-12-09T10:00:00.000Z", "COM1", Outcome::Confirmed);
            bool inserted = false;
            auto& e = errors[static_cast<size_t>(i)];
            if (pg.Connect(uri, &e)) {
                pg.Put(r, &inserted, &e);
            }
        });
    }
    for (auto& t : stations) {
        t.join();
    }
    for (const auto& e : errors) {
        EXPECT_EQ(e, "");
    }
    PgRecord pg;
    std::vector<DownloadRow> rows;
    ASSERT_TRUE(pg.Connect(uri, &why) && pg.Query({}, &rows, &why)) << why;
    EXPECT_EQ(rows.size(), static_cast<size_t>(kStations));
}

// The server stops in the middle: the row lands in the local file with one notice, a push sends
// it once, a second push sends nothing.
TEST(ServerRecordTest, ServerGoneMidWayThenPushedOnce) {
    PgServer server;
    std::string why;
    if (PgServer::FindBin().empty()) {
        GTEST_SKIP() << "no PostgreSQL server binaries under /usr/lib/postgresql";
    }
    ASSERT_TRUE(server.Start(&why)) << why;
    ScratchDir dir;
    const auto local = dir.Path() / "state" / "history.sqlite";
    auto sink = OpenRecordSink(server.Uri(), &why, local);
    ASSERT_NE(sink, nullptr) << why;

    DownloadRow before = Row("2026-12-09T10:00:00.000Z", "COM1", Outcome::Confirmed);
    std::string notice;
    ASSERT_TRUE(sink->Complete(before, &notice, &why)) << why;
    EXPECT_EQ(notice, "");
    EXPECT_FALSE(std::filesystem::exists(local));

    server.Stop();
    DownloadRow during = Row("2026-12-09T10:05:00.000Z", "COM2", Outcome::Confirmed);
    during.imagePath = "/fw/\xff.abs";  // not UTF-8: the server must still take it
    DownloadRow cutOff = Row("2026-12-09T10:06:00.000Z", "COM3", Outcome::Failed);
    for (DownloadRow* r : {&during, &cutOff}) {
        notice.clear();
        ASSERT_TRUE(sink->Complete(*r, &notice, &why)) << why;
        EXPECT_NE(notice.find(": the record server went away ("), std::string::npos) << notice;
        EXPECT_NE(notice.find("kept in " + local.string()), std::string::npos) << notice;
    }

    // Nobody answers now: a new download would not start.
    EXPECT_EQ(OpenRecordSink(server.Uri(), &why, local), nullptr);
    EXPECT_NE(why.find("cannot reach the record server"), std::string::npos) << why;

    ASSERT_TRUE(server.Resume(&why)) << why;
    // The same sink finds the server again.
    DownloadRow after = Row("2026-12-09T10:07:00.000Z", "COM4", Outcome::Confirmed);
    notice.clear();
    ASSERT_TRUE(sink->Complete(after, &notice, &why)) << why;
    EXPECT_EQ(notice, "");
    SqliteRecord kept;
    ASSERT_TRUE(kept.Open(local, SqliteRecord::Access::Write, false, &why)) << why;
    PgRecord pg;
    ASSERT_TRUE(pg.Connect(server.Uri(), &why)) << why;
    // An earlier push that was cut off after the server took this row, before it was noted.
    DownloadRow copy = cutOff;
    bool inserted = false;
    ASSERT_TRUE(pg.Put(copy, &inserted, &why)) << why;
    PushCounts first;
    ASSERT_TRUE(PushLocal(kept, pg, &first, &why)) << why;
    EXPECT_EQ(first.sent, 1);
    EXPECT_EQ(first.already, 1);
    PushCounts second;
    ASSERT_TRUE(PushLocal(kept, pg, &second, &why)) << why;
    EXPECT_EQ(second.sent + second.already, 0);

    std::vector<DownloadRow> rows;
    ASSERT_TRUE(pg.Query({}, &rows, &why)) << why;
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].rowKey, after.rowKey);
    EXPECT_EQ(rows[1].rowKey, cutOff.rowKey);
    EXPECT_EQ(rows[2].imagePath, "/fw/\xEF\xBF\xBD.abs");
    during.imagePath = rows[2].imagePath;
    during.id = rows[2].id;
    EXPECT_EQ(rows[2], during);
    EXPECT_EQ(rows[3].rowKey, before.rowKey);
}

}  // namespace
}  // namespace romlift::record
