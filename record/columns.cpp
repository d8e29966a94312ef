#include "columns.h"

#include <algorithm>

namespace romlift::record::detail {

namespace {

// Where a column stands in a database's table: the keys first, then schema by schema.
int Place(const Column& c) {
    if (c.kind == kId) {
        return 0;
    }
    return c.kind == kKey ? 1 : 1 + c.since;
}

std::vector<const Column*> Select(bool (*keep)(const Column&)) {
    std::vector<const Column*> out;
    for (const Column& c : kColumns) {
        if (keep(c)) {
            out.push_back(&c);
        }
    }
    return out;
}

std::vector<const Column*> InTableOrder(Store store) {
    std::vector<const Column*> out = store == Store::File
                                         ? Select([](const Column& c) { return c.kept != kServer; })
                                         : Select([](const Column& c) { return c.kept != kFile; });
    std::stable_sort(out.begin(), out.end(),
                     [](const Column* a, const Column* b) { return Place(*a) < Place(*b); });
    return out;
}

const char* Type(Kind kind, Store store) {
    const bool file = store == Store::File;
    switch (kind) {
        case kId:
            return file ? "INTEGER PRIMARY KEY" : "bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY";
        case kKey:
            return file ? "TEXT" : "uuid";
        case kTime:
        case kArrival:
            return file ? "TEXT" : "timestamptz";
        case kText:
        case kOutcome:
            return file ? "TEXT" : "text";
        case kInt64:
            return file ? "INTEGER" : "bigint";
        case kInt32:
            return file ? "INTEGER" : "integer";
        case kByte:
            return file ? "INTEGER" : "smallint";
    }
    return "";
}

}  // namespace

Value Get(const Column& column, const DownloadRow& row) {
    if (const auto* text = std::get_if<std::string R::*>(&column.member)) {
        return row.**text;
    }
    if (const auto* number = std::get_if<int64_t R::*>(&column.member)) {
        return row.**number;
    }
    if (const auto* optional = std::get_if<std::optional<int> R::*>(&column.member)) {
        const std::optional<int>& v = row.**optional;
        return v ? Value(int64_t{*v}) : Value();
    }
    if (const auto* outcome = std::get_if<Outcome R::*>(&column.member)) {
        return std::string(OutcomeName(row.**outcome));
    }
    return {};
}

bool Set(const Column& column, const Value& value, DownloadRow* row) {
    const auto* n = std::get_if<int64_t>(&value);
    const auto* s = std::get_if<std::string>(&value);
    if (const auto* text = std::get_if<std::string R::*>(&column.member)) {
        row->** text = s != nullptr ? *s : std::string();
    } else if (const auto* number = std::get_if<int64_t R::*>(&column.member)) {
        row->** number = n != nullptr ? *n : 0;
    } else if (const auto* optional = std::get_if<std::optional<int> R::*>(&column.member)) {
        row->** optional = n != nullptr ? std::optional<int>(static_cast<int>(*n)) : std::nullopt;
    } else if (const auto* outcome = std::get_if<Outcome R::*>(&column.member)) {
        const auto o = ParseOutcome(s != nullptr ? *s : std::string());
        if (!o) {
            return false;
        }
        row->** outcome = *o;
    }
    return true;
}

const std::vector<const Column*>& TableOrder(Store store) {
    static const std::vector<const Column*> file = InTableOrder(Store::File);
    static const std::vector<const Column*> server = InTableOrder(Store::Server);
    return store == Store::File ? file : server;
}

std::string SqlName(const Column& column) {
    return (column.flags & kQuoted) != 0 ? "\"" + std::string(column.name) + "\""
                                         : std::string(column.name);
}

std::string NameList(const std::vector<const Column*>& columns) {
    std::string out;
    for (const Column* c : columns) {
        out += (out.empty() ? "" : ", ") + SqlName(*c);
    }
    return out;
}

std::string Check(const Column& column) {
    const std::string name(column.name);
    if (column.kind == kByte) {
        return "CHECK (" + name + " BETWEEN 0 AND 255)";
    }
    if (column.kind != kOutcome) {
        return {};
    }
    std::string names;
    for (const Outcome o : kOutcomes) {
        names += (names.empty() ? "'" : ", '") + std::string(OutcomeName(o)) + "'";
    }
    return "CHECK (" + name + " IN (" + names + "))";
}

std::string CheckName(const Column& column) {
    return "downloads_" + std::string(column.name) + "_check";
}

std::string Definition(const Column& column, Store store) {
    std::string out = SqlName(column) + " " + Type(column.kind, store);
    if (column.kind == kId) {
        return out;
    }
    if ((column.flags & kNull) == 0) {
        out += " NOT NULL";
    }
    if (column.kind == kKey) {
        out += " UNIQUE";
    }
    if (column.kind == kArrival) {
        out += " DEFAULT now()";
    } else if (column.since > 1 && (column.flags & kNull) == 0) {
        // Rows from before the column have it empty.
        out += IsNumber(column.kind) ? " DEFAULT 0" : " DEFAULT ''";
    }
    if (const std::string check = Check(column); !check.empty()) {
        // A server's check is named: a later schema drops and remakes it by that name.
        out +=
            store == Store::Server ? " CONSTRAINT " + CheckName(column) + " " + check : " " + check;
    }
    return out;
}

std::string CreateTable(Store store) {
    std::string out = "CREATE TABLE downloads (";
    bool first = true;
    for (const Column* c : TableOrder(store)) {
        out += (first ? " " : ", ") + Definition(*c, store);
        first = false;
    }
    // STRICT: the file refuses a value of the wrong type as a server does.
    return out + (store == Store::File ? ") STRICT;" : ");");
}

const std::vector<const Column*>& Written() {
    static const std::vector<const Column*> written = [] {
        std::vector<const Column*> out;
        for (const Column* c : TableOrder(Store::File)) {
            if (c->kept == kBoth && c->kind != kId) {
                out.push_back(c);
            }
        }
        return out;
    }();
    return written;
}

const std::vector<const Column*>& ReadBack(Store store) {
    auto make = [](Store s) {
        std::vector<const Column*> out = Written();
        for (const Column* c : TableOrder(s)) {
            if (c->kept != kBoth && c->member.index() != 0) {
                out.push_back(c);
            }
        }
        return out;
    };
    static const std::vector<const Column*> file = make(Store::File);
    static const std::vector<const Column*> server = make(Store::Server);
    return store == Store::File ? file : server;
}

const std::vector<const Column*>& Shown() {
    static const std::vector<const Column*> shown =
        Select([](const Column& c) { return c.member.index() != 0; });
    return shown;
}

std::string UpdateAssignments(const std::string& prefix) {
    std::string out;
    for (const Column* c : Written()) {
        if (c->kind != kKey) {
            const std::string name = SqlName(*c);
            out.append(out.empty() ? "" : ", ").append(name).append(" = ").append(prefix);
            out += name;
        }
    }
    return out;
}

std::vector<Value> RowValues(const DownloadRow& row) {
    std::vector<Value> values;
    values.reserve(Written().size());
    for (const Column* c : Written()) {
        Value v = Get(*c, row);
        const auto* text = std::get_if<std::string>(&v);
        if ((c->flags & kNull) != 0 && text != nullptr && text->empty()) {
            v = std::monostate();
        }
        values.push_back(std::move(v));
    }
    return values;
}

bool RowFromValues(int64_t id, const std::vector<const Column*>& columns,
                   const std::vector<Value>& values, DownloadRow* row, std::string* why) {
    if (values.size() != columns.size()) {
        *why = "the row has " + std::to_string(values.size()) + " columns";
        return false;
    }
    for (size_t i = 0; i < columns.size(); ++i) {
        const Value& v = values[i];
        const bool fits = std::holds_alternative<std::monostate>(v)
                              ? (columns[i]->flags & kNull) != 0
                              : std::holds_alternative<int64_t>(v) == IsNumber(columns[i]->kind);
        if (!fits) {
            *why = "row " + std::to_string(id) + ": column " + std::to_string(i + 1) +
                   " has the wrong type";
            return false;
        }
    }
    row->id = id;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (!Set(*columns[i], values[i], row)) {
            *why = "row " + std::to_string(id) + ": unknown " + std::string(columns[i]->name) +
                   " \"" + std::get<std::string>(values[i]) + "\"";
            return false;
        }
    }
    return true;
}

}  // namespace romlift::record::detail

namespace romlift::record {

const std::vector<std::string_view>& ColumnNames() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> out;
        for (const detail::Column* c : detail::Shown()) {
            out.push_back(c->name);
        }
        return out;
    }();
    return names;
}

}  // namespace romlift::record
