// The record's columns, each named once below with what it holds, which databases keep it and
// how it is read from and written to a DownloadRow. Both CREATE TABLEs, the insert, upsert and
// select lists, the list of values bound to them, and the CSV and JSON fields are made from this
// one table, so a column cannot be left out of one of them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "download_row.h"

namespace romlift::record::detail {

using Value = std::variant<std::monostate, int64_t, std::string>;  // monostate: NULL

// What a column holds, which gives its type in each database:        file      server
enum Kind {
    kId,       // the row's number, given by the database that holds it  INTEGER   bigint identity
    kKey,      // the row's UUID, unique in every database                TEXT      uuid
    kTime,     // a UTC time in FormatUtc's spelling                      TEXT      timestamptz
    kText,     //                                                         TEXT      text
    kOutcome,  // an outcome's name, only those the record knows          TEXT      text
    kInt64,    //                                                         INTEGER   bigint
    kInt32,    //                                                         INTEGER   integer
    kByte,     // 0 to 255                                                INTEGER   smallint
    kArrival,  // when the server took the row; the server fills it in    -         timestamptz
};

// Which databases' tables have the column: the station's file, a server, or both.
enum Kept { kBoth, kFile, kServer };

enum Flag : unsigned {
    kNull = 1,      // may be NULL: an empty value is written as NULL and NULL read back as empty
    kJsonNull = 2,  // JSON shows an empty value as null
    kQuoted = 4,    // PostgreSQL reserves the name, so SQL writes it in double quotes
};

using R = DownloadRow;

// The member of DownloadRow a column is read from and written to; none for a column that no
// row holds.
using Member = std::variant<std::monostate, std::string R::*, int64_t R::*, std::optional<int> R::*,
                            Outcome R::*>;

struct Column {
    std::string_view name;
    Kind kind;
    unsigned flags;  // Flag bits
    int since;       // the schema that added the column
    Kept kept;
    Member member;
};

// In the order CSV and JSON give them. A database's table has the keys first (id, row_key),
// then schema 1's columns, then schema 2's, each schema's in this order: a server's table grows
// by ALTER TABLE, which adds columns at the end.
// clang-format off
inline constexpr Column kColumns[] = {
//   name                   kind       flags              since  kept      member
    {"id",                  kId,       0,                 1,     kBoth,    &R::id},
    {"started_utc",         kTime,     0,                 1,     kBoth,    &R::startedUtc},
    {"ended_utc",           kTime,     kNull,             1,     kBoth,    &R::endedUtc},
    {"duration_ms",         kInt64,    0,                 1,     kBoth,    &R::durationMs},
    {"host",                kText,     0,                 1,     kBoth,    &R::host},
    {"user",                kText,     kQuoted,           1,     kBoth,    &R::user},
    {"program",             kText,     0,                 1,     kBoth,    &R::program},
    {"version",             kText,     0,                 1,     kBoth,    &R::version},
    {"port",                kText,     0,                 1,     kBoth,    &R::port},
    {"device",              kText,     0,                 1,     kBoth,    &R::device},
    {"adapter",             kText,     0,                 1,     kBoth,    &R::adapter},
    {"model",               kText,     0,                 1,     kBoth,    &R::model},
    {"type_code",           kInt64,    0,                 1,     kBoth,    &R::typeCode},
    {"image_path",          kText,     0,                 1,     kBoth,    &R::imagePath},
    {"image_size",          kInt64,    0,                 1,     kBoth,    &R::imageSize},
    {"image_sha256",        kText,     0,                 1,     kBoth,    &R::imageSha256},
    {"image_xor",           kByte,     kNull,             1,     kBoth,    &R::imageXor},
    {"frames_confirmed",    kInt32,    0,                 1,     kBoth,    &R::framesConfirmed},
    {"frames_total",        kInt32,    0,                 1,     kBoth,    &R::framesTotal},
    {"outcome",             kOutcome,  0,                 1,     kBoth,    &R::outcome},
    {"status_text",         kText,     0,                 1,     kBoth,    &R::statusText},
    {"station",             kText,     0,                 1,     kBoth,    &R::station},
    {"operator",            kText,     kQuoted,           1,     kBoth,    &R::operatorName},
    {"row_key",             kKey,      0,                 1,     kBoth,    &R::rowKey},
    {"run_id",              kText,     0,                 2,     kBoth,    &R::runId},
    {"ended_at",            kText,     0,                 2,     kBoth,    &R::endedAt},
    {"unit_serial",         kText,     0,                 2,     kBoth,    &R::unitSerial},
    {"lot",                 kText,     0,                 2,     kBoth,    &R::lot},
    {"release_list_sha256", kText,     0,                 2,     kBoth,    &R::releaseListSha256},
    {"release_key",         kText,     0,                 2,     kBoth,    &R::releaseKey},
    // Set by a push, never written through a row.
    {"pushed_utc",          kTime,     kNull | kJsonNull, 1,     kFile,    &R::pushedUtc},
    {"received_utc",        kArrival,  0,                 1,     kServer,  {}},
};
// clang-format on

constexpr bool IsNumber(Kind kind) {
    return kind == kId || kind == kInt64 || kind == kInt32 || kind == kByte;
}

// Whether a member of this type holds what a column of `kind` holds.
constexpr bool Fits(const Member& member, Kind kind) {
    if (std::holds_alternative<Outcome R::*>(member)) {
        return kind == kOutcome;
    }
    if (std::holds_alternative<std::string R::*>(member)) {
        return !IsNumber(kind) && kind != kOutcome;
    }
    return IsNumber(kind);
}

// What is wrong with `table`, "" when nothing: the code made from it relies on each of these.
constexpr std::string_view TableFault(std::span<const Column> table) {
    int ids = 0;
    int keys = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        const Column& c = table[i];
        for (size_t j = 0; j < i; ++j) {
            if (table[j].name == c.name) {
                return "two columns have one name";
            }
            if (c.member.index() != 0 && table[j].member == c.member) {
                return "two columns read one member of the row";
            }
        }
        if (c.member.index() == 0) {
            if (c.kept != kServer || c.kind != kArrival) {
                return "a column has no member of the row to read and write";
            }
        } else if (!Fits(c.member, c.kind)) {
            return "a column's kind and its member's type disagree";
        }
        if (c.kind == kArrival && c.kept != kServer) {
            return "only a server fills in a column";
        }
        if (c.since < 1) {
            return "a column's schema is not one the record has had";
        }
        ids += c.kind == kId ? 1 : 0;
        keys += c.kind == kKey ? 1 : 0;
    }
    return ids == 1 && keys == 1 ? "" : "a table needs one id and one key column";
}

static_assert(TableFault(kColumns).empty(), "the record's column table is not consistent");

constexpr size_t KeyIndex() {
    size_t i = 0;
    while (kColumns[i].kind != kKey) {
        ++i;
    }
    return i;
}
// The row's UUID: what an upsert meets a conflict on.
inline constexpr const Column& kKeyColumn = kColumns[KeyIndex()];

// The two databases that keep the record.
enum class Store { File, Server };

// `store`'s columns in the order its table has them.
const std::vector<const Column*>& TableOrder(Store store);
// "CREATE TABLE downloads (...)" for `store`, ending in ";".
std::string CreateTable(Store store);
// A column as CREATE TABLE and ALTER TABLE ADD COLUMN define it in `store`.
std::string Definition(const Column& column, Store store);
// "CHECK (...)" for the values a column may hold; "" when any of its type may stand there.
std::string Check(const Column& column);
// What a server's table calls that check.
std::string CheckName(const Column& column);

// The name as SQL writes it.
std::string SqlName(const Column& column);
// "a, b, \"user\", ..."
std::string NameList(const std::vector<const Column*>& columns);

// What an insert writes, in this order: every column both databases keep but id.
const std::vector<const Column*>& Written();
// What a select reads after id, in this order: Written(), then the columns only `store` keeps
// that a row holds.
const std::vector<const Column*>& ReadBack(Store store);

// The row's values for Written().
std::vector<Value> RowValues(const DownloadRow& row);
// "col = <prefix>col, ..." for every written column but the key, for an upsert.
std::string UpdateAssignments(const std::string& prefix);
// Reads `values` for `columns` (as ReadBack gives them) into `row`; false (with `why`) when a
// value has the wrong type or is not one the record knows.
bool RowFromValues(int64_t id, const std::vector<const Column*>& columns,
                   const std::vector<Value>& values, DownloadRow* row, std::string* why);

// Column `column`'s value in `row`: a number, text, or NULL for an optional number not there.
Value Get(const Column& column, const DownloadRow& row);
// Puts `value` (of the column's type, or NULL) into `row`; false when it is not one the record
// knows (an outcome's name).
bool Set(const Column& column, const Value& value, DownloadRow* row);

// The columns a row holds, in the table's order: what CSV and JSON give.
const std::vector<const Column*>& Shown();

}  // namespace romlift::record::detail
