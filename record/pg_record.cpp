#include "pg_record.h"

#include <libpq-fe.h>
#include <poll.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <memory>
#include <string_view>

#include "columns.h"

namespace romlift::record {

void detail::ResultFree::operator()(pg_result* r) const {
    PQclear(r);
}

namespace {

using detail::Value;
using Result = std::unique_ptr<PGresult, detail::ResultFree>;

// libpq's messages end in a newline and may hold several tab-indented lines; one line reads
// better.
std::string OneLine(const char* text) {
    std::string s;
    bool space = false;
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        if (*p == '\n' || *p == '\t' || *p == ' ') {
            space = !s.empty();
            continue;
        }
        if (space) {
            s += ' ';
            space = false;
        }
        s += *p;
    }
    return s;
}

// The server takes only UTF-8; a file name in another encoding keeps its other characters, its
// odd bytes become U+FFFD, rather than the whole row being refused (and never pushed).
std::string ToUtf8(const std::string& s) {
    if (std::all_of(s.begin(), s.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return s;
    }
    return nlohmann::json::parse(
               nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
        .get<std::string>();
}

bool Good(const Result& r) {
    const ExecStatusType s = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

// Sends `sql` and waits for its results without ever blocking past `wait`: a stalled server (a
// lock held for minutes, a network gone quiet) or the stop signal ends the wait, and the
// connection, at once. Null then, with `abandoned` set to why. Otherwise the first failed result,
// else the last one, as PQexec gives them.
Result Exec(PGconn*& conn, const std::string& sql, const std::vector<Value>& params,
            const PgWait& wait, std::string* abandoned) {
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size(), nullptr);
    for (size_t i = 0; i < params.size(); ++i) {
        if (const auto* n = std::get_if<int64_t>(&params[i])) {
            texts[i] = std::to_string(*n);
            values[i] = texts[i].c_str();
        } else if (const auto* s = std::get_if<std::string>(&params[i])) {
            texts[i] = ToUtf8(*s);
            values[i] = texts[i].c_str();
        }
    }
    // The simple protocol without parameters, which takes several statements at once.
    const int sent = params.empty()
                         ? PQsendQuery(conn, sql.c_str())
                         : PQsendQueryParams(conn, sql.c_str(), static_cast<int>(params.size()),
                                             nullptr, values.data(), nullptr, nullptr, 0);
    if (sent == 0) {
        return Result(PQmakeEmptyPGresult(conn, PGRES_FATAL_ERROR));
    }
    const auto deadline = std::chrono::steady_clock::now() + wait.limit;
    auto giveUp = [&](const char* why) {
        *abandoned = why;
        PQfinish(conn);  // the server rolls back whatever this connection had begun
        conn = nullptr;
        return Result();
    };
    while (PQisBusy(conn) != 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return giveUp("the record server did not answer in time");
        }
        std::array<pollfd, 2> fds{pollfd{PQsocket(conn), POLLIN, 0},
                                  pollfd{wait.stopFd, POLLIN, 0}};
        const int n = ::poll(fds.data(), wait.stopFd >= 0 ? 2 : 1, static_cast<int>(left));
        if (n < 0 && errno != EINTR) {
            return giveUp("cannot wait for the record server");
        }
        if (wait.stopFd >= 0 && (fds[1].revents & POLLIN) != 0) {
            return giveUp("stopped while waiting for the record server");
        }
        if (n > 0 && PQconsumeInput(conn) == 0) {
            break;  // the connection broke: PQgetResult says so
        }
    }
    Result kept;
    for (PGresult* r = PQgetResult(conn); r != nullptr; r = PQgetResult(conn)) {
        Result next(r);
        if (!kept || Good(kept)) {
            kept = std::move(next);
        }
    }
    return kept ? std::move(kept) : Result(PQmakeEmptyPGresult(conn, PGRES_FATAL_ERROR));
}

using detail::Column;
using detail::Store;

std::string Schema() {
    return detail::CreateTable(Store::Server) +
           "CREATE INDEX downloads_started ON downloads (started_utc);"
           "CREATE TABLE romlift_meta (name text PRIMARY KEY, value text NOT NULL);";
}

// Schema 1 had no unfinished rows, run or end step; its rows stay as they are, with the new
// columns empty, and the outcome's check takes the new outcome.
std::string FromSchema1() {
    std::string sql = "ALTER TABLE downloads ALTER COLUMN ended_utc DROP NOT NULL";
    const auto& columns = detail::TableOrder(Store::Server);
    for (const Column* c : columns) {
        if (c->since == 2) {
            sql += ", ADD COLUMN " + detail::Definition(*c, Store::Server);
        }
    }
    for (const Column* c : columns) {
        if (c->kind == detail::kOutcome) {
            const std::string name = detail::CheckName(*c);
            sql.append(", DROP CONSTRAINT ").append(name).append(", ADD CONSTRAINT ").append(name);
            sql += " " + detail::Check(*c);
        }
    }
    return sql + ";UPDATE romlift_meta SET value = '2' WHERE name = 'schema_version';";
}

// The times come back in the files' spelling, so rows read the same from either record.
std::string Select() {
    std::string sql = "SELECT id";
    for (const Column* c : detail::ReadBack(Store::Server)) {
        const std::string name = detail::SqlName(*c);
        switch (c->kind) {
            case detail::kKey:
                sql += ", " + name + "::text";
                break;
            case detail::kTime:
                sql += ", to_char(" + name +
                       " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
                break;
            default:
                sql += ", " + name;
        }
    }
    return sql + " FROM downloads";
}

// Any advisory lock number that other programs are unlikely to take: "RLFT".
constexpr const char* kCreateLock = "SELECT pg_advisory_xact_lock(1380730452)";

}  // namespace

namespace {

struct OptionsFree {
    void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};
using Options = std::unique_ptr<PQconninfoOption, OptionsFree>;

bool IsSecret(std::string_view keyword) {
    return keyword == "password" || keyword == "sslpassword";
}

bool IsUri(std::string_view target) {
    return target.starts_with("postgresql://") || target.starts_with("postgres://");
}

// Whether `target` may carry a password, read leniently: libpq may not be able to read it.
bool MayHoldPassword(std::string_view target) {
    std::string lower(target);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("password") != std::string::npos ||
           (IsUri(target) && target.find('@') != std::string::npos);
}

// libpq's word on a connection string it cannot read quotes pieces of it, a password among
// them (`invalid percent-encoded token: "Top%ZZSecret"`). Every quoted piece but a keyword of
// libpq's own goes when the string may hold a password.
std::string MaskQuoted(const std::string& said, std::string_view target) {
    if (!MayHoldPassword(target)) {
        return said;
    }
    std::vector<std::string> keywords;
    if (PQconninfoOption* defaults = PQconndefaults()) {
        for (const PQconninfoOption* o = defaults; o->keyword != nullptr; ++o) {
            keywords.emplace_back(o->keyword);
        }
        PQconninfoFree(defaults);
    }
    std::string out;
    size_t from = 0;
    for (size_t open = said.find('"'); open != std::string::npos; open = said.find('"', from)) {
        const size_t close = said.find('"', open + 1);
        if (close == std::string::npos) {
            break;
        }
        const std::string quoted = said.substr(open + 1, close - open - 1);
        const bool keep = quoted == "=" || quoted == "]" ||
                          std::find(keywords.begin(), keywords.end(), quoted) != keywords.end();
        out += said.substr(from, open - from) + "\"" + (keep ? quoted : "***") + "\"";
        from = close + 1;
    }
    return out + said.substr(from);
}

// `said` with each whole-word occurrence of a secret as "***".
std::string MaskSecrets(std::string said, const std::vector<std::string>& secrets) {
    auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    for (const std::string& secret : secrets) {
        if (secret.empty()) {
            continue;
        }
        for (size_t at = said.find(secret); at != std::string::npos;
             at = said.find(secret, at + 1)) {
            const size_t end = at + secret.size();
            if ((at == 0 || !word(said[at - 1]) || !word(secret.front())) &&
                (end == said.size() || !word(said[end]) || !word(secret.back()))) {
                said.replace(at, secret.size(), "***");
            }
        }
    }
    return said;
}

// In a URI, libpq takes the user name and password up to the first '@' before any '/', where a
// person meant the last '@': "ana:p@ss@db1" would send the password "p" and name "ss@db1" as
// the host in its error. Such a URI is refused before libpq sees it.
std::string AmbiguousUserInfo(std::string_view target) {
    const std::string_view rest = target.substr(target.find("://") + 3);
    const std::string_view before = rest.substr(0, rest.find('?'));
    const size_t at = before.find('@');
    if (at == std::string_view::npos) {
        return {};
    }
    if (before.find('@', at + 1) != std::string_view::npos) {
        return "'@' stands more than once before the host; write an '@' in a user name or "
               "password as %40";
    }
    if (before.substr(0, at).find('/') != std::string_view::npos) {
        return "'/' stands before the '@'; write a '/' in a user name or password as %2F";
    }
    return {};
}

// The options libpq reads in `target`; null with the reason in `error` (no password in it).
Options Parse(const std::string& target, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = "the record server's connection string cannot be read: " + why;
        return nullptr;
    };
    if (!IsUri(target) && target.find('=') == std::string::npos) {
        return fail(
            "a server is named by a URI that begins postgresql:// or postgres://, or by "
            "keywords such as host=... dbname=...");
    }
    if (IsUri(target)) {
        if (const std::string why = AmbiguousUserInfo(target); !why.empty()) {
            return fail(why);
        }
    }
    char* said = nullptr;
    Options options(PQconninfoParse(target.c_str(), &said));
    if (options == nullptr) {
        const std::string why = said != nullptr ? OneLine(said) : "out of memory";
        PQfreemem(said);
        // A path with '=' in it lands here too: say why it was not taken for a file.
        return fail(MaskQuoted(why, target) +
                    (IsUri(target) ? "" : " (a record file's name may not hold '=')"));
    }
    return options;
}

// `value` as a keyword string writes it: quoted when it is empty or holds a space, quote or
// backslash.
std::string KeywordValue(std::string_view value) {
    if (!value.empty() && value.find_first_of(" \t\n\r\f\v'\\") == std::string_view::npos) {
        return std::string(value);
    }
    std::string out = "'";
    for (const char c : value) {
        if (c == '\'' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "'";
}

}  // namespace

bool IsServerUri(std::string_view target) {
    return target.starts_with("postgresql:") || target.starts_with("postgres:") ||
           target.find('=') != std::string_view::npos;
}

bool CheckServerTarget(const std::string& target, std::string* error) {
    return Parse(target, error) != nullptr;
}

bool HasTypedPassword(const std::string& target) {
    std::string ignored;
    const Options options = Parse(target, &ignored);
    if (options == nullptr) {
        return MayHoldPassword(target);
    }
    for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
        if (IsSecret(o->keyword) && o->val != nullptr && o->val[0] != '\0') {
            return true;
        }
    }
    return false;
}

std::string RedactedUri(const std::string& uri) {
    if (!IsUri(uri)) {
        // A keyword string, written again from what libpq reads in it, its secrets masked.
        std::string ignored;
        const Options options = Parse(uri, &ignored);
        if (options == nullptr) {
            return "the record server";
        }
        std::string out;
        for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
            if (o->val != nullptr) {
                out += (out.empty() ? "" : " ") + std::string(o->keyword) + "=" +
                       (IsSecret(o->keyword) ? "***" : KeywordValue(o->val));
            }
        }
        return out;
    }
    std::string out = uri;
    const size_t start = out.find("://") + 3;
    const size_t end = out.find_first_of("/?", start);
    const size_t at = out.rfind('@', end == std::string::npos ? out.size() : end);
    if (at != std::string::npos && at >= start) {
        const size_t colon = out.find(':', start);
        if (colon != std::string::npos && colon < at) {
            out.replace(colon + 1, at - colon - 1, "***");
        }
    }
    for (size_t p = out.find("password="); p != std::string::npos;
         p = out.find("password=", p + 1)) {
        const size_t value = p + 9;
        const size_t amp = out.find('&', value);
        out.replace(value, (amp == std::string::npos ? out.size() : amp) - value, "***");
    }
    return out;
}

PgRecord::~PgRecord() {
    Close();
}

void PgRecord::Close() {
    if (conn_ != nullptr) {
        PQfinish(conn_);
        conn_ = nullptr;
    }
}

Result PgRecord::Run(const std::string& sql, const std::vector<Value>& params) {
    if (conn_ == nullptr) {
        return Result(PQmakeEmptyPGresult(nullptr, PGRES_FATAL_ERROR));
    }
    abandoned_.clear();
    return Exec(conn_, sql, params, wait_, &abandoned_);
}

std::string PgRecord::Why() const {
    if (conn_ == nullptr) {
        return abandoned_.empty() ? "not connected" : abandoned_;
    }
    return MaskSecrets(OneLine(PQerrorMessage(conn_)), secrets_);
}

bool PgRecord::Connected() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK;
}

bool PgRecord::Connect(const std::string& uri, std::string* error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Close();
    secrets_.clear();
    const Options options = Parse(uri, error);
    if (options == nullptr) {
        where_ = "the record server";
        return false;
    }
    for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
        if (IsSecret(o->keyword) && o->val != nullptr) {
            secrets_.emplace_back(o->val);
        }
    }
    where_ = RedactedUri(uri);
    // Defaults first: what the URI says comes later and wins. tcp_user_timeout and keepalives
    // notice a server that vanished from the network; statement_timeout has the server itself
    // give up a statement stuck behind another session's lock.
    const std::array<const char*, 10> keys = {"connect_timeout",
                                              "tcp_user_timeout",
                                              "keepalives",
                                              "keepalives_idle",
                                              "keepalives_interval",
                                              "keepalives_count",
                                              "options",
                                              "application_name",
                                              "dbname",
                                              nullptr};
    const std::array<const char*, 10> values = {
        "5",       "10000",     "1",    "5", "2", "3", "-c statement_timeout=8000",
        "romlift", uri.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys.data(), values.data(), 1);
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
        *error = where_ + ": cannot reach the record server (" +
                 (conn_ != nullptr ? Why() : "out of memory") + ")";
        Close();
        return false;
    }
    // The server's notices ("terminating connection ...") would go to stderr unasked; the
    // errors that matter come back as results.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    if (!Prepare(error)) {
        Close();
        return false;
    }
    return true;
}

// Makes the table when it is missing, once, however many stations connect at the same moment.
bool PgRecord::Prepare(std::string* error) {
    auto fail = [&](const std::string& what) {
        *error = where_ + ": " + what + " (" + Why() + ")";
        Run("ROLLBACK");
        return false;
    };
    if (!Good(Run("BEGIN")) || !Good(Run(kCreateLock))) {
        return fail("cannot start the record");
    }
    const Result found =
        Run("SELECT to_regclass('romlift_meta') IS NOT NULL, to_regclass('downloads') IS NOT NULL");
    if (!Good(found) || PQntuples(found.get()) != 1) {
        return fail("cannot look for the record's table");
    }
    const bool meta = PQgetvalue(found.get(), 0, 0)[0] == 't';
    const bool table = PQgetvalue(found.get(), 0, 1)[0] == 't';
    if (meta) {
        const Result v = Run("SELECT value FROM romlift_meta WHERE name = 'schema_version'");
        int version = 0;
        if (Good(v) && PQntuples(v.get()) == 1) {
            const char* text = PQgetvalue(v.get(), 0, 0);
            std::from_chars(text, text + PQgetlength(v.get(), 0, 0), version);
        }
        if (version < 1 || !table) {
            *error = where_ + ": the record's tables are incomplete; nothing is written there";
            Run("ROLLBACK");
            return false;
        }
        if (version > kPgSchemaVersion) {
            *error = where_ + ": the record has schema " + std::to_string(version) +
                     ", newer than this program's " + std::to_string(kPgSchemaVersion) +
                     "; nothing is written there";
            Run("ROLLBACK");
            return false;
        }
        if (version == 1 && !Good(Run(FromSchema1()))) {
            return fail("cannot bring the record to this program's schema");
        }
    } else if (table) {
        *error = where_ +
                 ": a table named downloads is there but is not a romlift record; it is"
                 " left as it is";
        Run("ROLLBACK");
        return false;
    } else if (!Good(Run(Schema())) ||
               !Good(Run("INSERT INTO romlift_meta VALUES ('schema_version', $1)",
                         {std::to_string(kPgSchemaVersion)}))) {
        return fail("cannot make the record's table");
    }
    if (!Good(Run("COMMIT"))) {
        return fail("cannot make the record's table");
    }
    return true;
}

// Errors libpq makes itself (no SQLSTATE), connection exceptions (08) and operator
// intervention such as a shutdown (57) mean the server is gone; anything else is about the row.
// A statement the server cancelled for taking too long (57014) is a stall, not a lost server.
bool ServerLost(const PGresult* r) {
    const char* state = r != nullptr ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    return state == nullptr || std::string_view(state).starts_with("08") ||
           (std::string_view(state).starts_with("57") && std::string_view(state) != "57014");
}

PgRecord::Attempt PgRecord::InsertOnce(DownloadRow& row, bool* inserted, std::string* error) {
    const std::vector<Value> values = detail::RowValues(row);
    std::string sql =
        "INSERT INTO downloads (" + detail::NameList(detail::Written()) + ") VALUES (";
    for (size_t i = 1; i <= values.size(); ++i) {
        sql += (i == 1 ? "$" : ", $") + std::to_string(i);
    }
    // Unfinished before the first byte, then complete; a complete row is never changed again.
    sql += ") ON CONFLICT (" + detail::SqlName(detail::kKeyColumn) + ") DO UPDATE SET " +
           detail::UpdateAssignments("EXCLUDED.") +
           " WHERE downloads.outcome = 'unfinished' RETURNING id";
    const Result r = Run(sql, values);
    if (!Good(r)) {
        const bool lost = PQstatus(conn_) != CONNECTION_OK || ServerLost(r.get());
        *error =
            where_ +
            (lost ? ": the record server went away (" : ": the record server refused the row (") +
            Why() + ")";
        return lost ? Attempt::Lost : Attempt::Refused;
    }
    *inserted = PQntuples(r.get()) == 1;
    const Result id =
        *inserted ? nullptr : Run("SELECT id FROM downloads WHERE row_key = $1", {row.rowKey});
    const PGresult* with = *inserted ? r.get() : id.get();
    if (with != nullptr && PQntuples(with) == 1) {
        std::string_view text = PQgetvalue(with, 0, 0);
        std::from_chars(text.data(), text.data() + text.size(), row.id);
    }
    return Attempt::Written;
}

bool PgRecord::Put(DownloadRow& row, bool* inserted, std::string* error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (conn_ == nullptr) {
        *error = where_ + ": not connected to the record server";
        return false;
    }
    if (row.rowKey.empty()) {
        row.rowKey = NewRowKey();  // a row without its key could be taken for another one
    }
    const Attempt first = InsertOnce(row, inserted, error);
    if (first != Attempt::Lost) {
        return first == Attempt::Written;
    }
    // An idle connection the server or a firewall dropped, or a server restarted since: one new
    // connection, and the same row again (its key keeps it from counting twice). A reset that
    // fails leaves the connection bad, which is how Connected() tells a lost server. A wait
    // given up has dropped the connection already: a stalled server gets no second wait.
    if (conn_ == nullptr) {
        return false;
    }
    PQreset(conn_);
    if (PQstatus(conn_) == CONNECTION_OK) {
        std::string again;
        if (InsertOnce(row, inserted, &again) == Attempt::Written) {
            return true;
        }
        *error = again;
    }
    return false;
}

bool PgRecord::Query(const HistoryFilter& filter, std::vector<DownloadRow>* rows,
                     std::string* error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    rows->clear();
    if (conn_ == nullptr) {
        *error = where_ + ": not connected to the record server";
        return false;
    }
    std::string sql = Select();
    std::vector<Value> params;
    auto add = [&](const char* column, const std::string& value) {
        sql += params.empty() ? " WHERE " : " AND ";
        params.emplace_back(value);
        sql += std::string(column) + " $" + std::to_string(params.size());
    };
    if (filter.pending) {
        *error = where_ +
                 ": rows waiting to be sent are kept in a station's own file, not on "
                 "the server";
        return false;
    }
    if (!filter.sinceUtc.empty()) {
        add("started_utc >=", filter.sinceUtc);
    }
    if (!filter.untilUtc.empty()) {
        add("started_utc <", filter.untilUtc);
    }
    if (!filter.port.empty()) {
        add("port =", filter.port);
    }
    if (!filter.station.empty()) {
        add("station =", filter.station);
    }
    if (!filter.model.empty()) {
        add("model =", filter.model);
    }
    if (filter.outcome) {
        add("outcome =", OutcomeName(*filter.outcome));
    }
    // A row is known by its key. Ids have gaps that are no deletions: the sequence never takes
    // a number back, and an insert that fails or finds its row there (a second push) uses one
    // up, as does a crash (numbers are logged ahead in blocks). Hence the order by start.
    sql += " ORDER BY started_utc DESC, id DESC";
    if (filter.limit > 0) {
        sql += " LIMIT " + std::to_string(filter.limit);
    }
    const Result r = Run(sql, params);
    if (!Good(r)) {
        *error = where_ + ": cannot read the record (" + Why() + ")";
        return false;
    }
    for (int t = 0; t < PQntuples(r.get()); ++t) {
        auto number = [&](int column) {
            int64_t n = 0;
            std::string_view text = PQgetvalue(r.get(), t, column);
            std::from_chars(text.data(), text.data() + text.size(), n);
            return n;
        };
        const auto& columns = detail::ReadBack(Store::Server);
        std::vector<Value> values(columns.size());
        for (size_t i = 0; i < values.size(); ++i) {
            const int at = static_cast<int>(i + 1);
            if (PQgetisnull(r.get(), t, at)) {
                continue;
            }
            if (detail::IsNumber(columns[i]->kind)) {
                values[i] = number(at);
            } else {
                values[i] = std::string(PQgetvalue(r.get(), t, at),
                                        static_cast<size_t>(PQgetlength(r.get(), t, at)));
            }
        }
        DownloadRow row;
        std::string why;
        if (!detail::RowFromValues(number(0), columns, values, &row, &why)) {
            *error = where_ + ": " + why;
            return false;
        }
        rows->push_back(std::move(row));
    }
    return true;
}

}  // namespace romlift::record
