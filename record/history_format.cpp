#include "history_format.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <variant>

#include <nlohmann/json.hpp>

#include "columns.h"

namespace romlift::record {

namespace {

// RFC 4180 quoting. Text a spreadsheet would take for a formula (an operator named
// =HYPERLINK(...), a file name starting with @ or -) gets a leading single quote first, the
// mark that keeps a cell text (OWASP's rule for CSV injection); numbers are left as numbers.
std::string CsvField(const std::string& s) {
    const bool formula = !s.empty() && std::strchr("=+-@\t\r", s.front()) != nullptr;
    std::string cell = formula ? "'" + s : s;
    if (cell.find_first_of(",\"\r\n") == std::string::npos) {
        return cell;
    }
    std::string out = "\"";
    for (const char c : cell) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

// A line break or tab in a name would break the table's lines.
std::string Cell(std::string s) {
    for (char& c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    return s;
}

}  // namespace

std::string HistoryTable(const std::vector<DownloadRow>& rows) {
    if (rows.empty()) {
        return {};
    }
    constexpr size_t kColumns = 8;
    std::vector<std::array<std::string, kColumns>> lines;
    lines.push_back(
        {"STARTED (UTC)", "PORT", "MODEL", "OUTCOME", "FRAMES", "STATION", "OPERATOR", "IMAGE"});
    for (const DownloadRow& r : rows) {
        lines.push_back({Cell(r.startedUtc), Cell(r.port), Cell(r.model), OutcomeName(r.outcome),
                         std::to_string(r.framesConfirmed) + "/" + std::to_string(r.framesTotal),
                         Cell(r.station), Cell(r.operatorName),
                         Cell(std::filesystem::path(r.imagePath).filename().string()) + " " +
                             r.imageSha256.substr(0, 12)});
    }
    std::array<size_t, kColumns> width{};
    for (const auto& line : lines) {
        for (size_t c = 0; c < kColumns; ++c) {
            width[c] = std::max(width[c], line[c].size());
        }
    }
    std::string out;
    for (const auto& line : lines) {
        std::string text;
        for (size_t c = 0; c < kColumns; ++c) {
            text += line[c];
            if (c + 1 < kColumns) {
                text.append(width[c] - line[c].size() + 2, ' ');
            }
        }
        out += text + "\n";
    }
    return out;
}

std::string HistoryJson(const std::vector<DownloadRow>& rows) {
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (const DownloadRow& r : rows) {
        nlohmann::ordered_json o;
        for (const detail::Column* c : detail::Shown()) {
            const detail::Value v = detail::Get(*c, r);
            const auto* n = std::get_if<int64_t>(&v);
            const auto* s = std::get_if<std::string>(&v);
            const bool null = s != nullptr && s->empty() && (c->flags & detail::kJsonNull) != 0;
            o[std::string(c->name)] = n != nullptr            ? nlohmann::ordered_json(*n)
                                      : s != nullptr && !null ? nlohmann::ordered_json(*s)
                                                              : nlohmann::ordered_json();
        }
        all.push_back(std::move(o));
    }
    return all.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string HistoryCsv(const std::vector<DownloadRow>& rows) {
    std::string out;
    const auto& names = ColumnNames();
    for (size_t i = 0; i < names.size(); ++i) {
        out += (i == 0 ? "" : ",") + std::string(names[i]);
    }
    out += "\r\n";
    for (const DownloadRow& r : rows) {
        bool first = true;
        for (const detail::Column* c : detail::Shown()) {
            const detail::Value v = detail::Get(*c, r);
            const auto* n = std::get_if<int64_t>(&v);
            const auto* s = std::get_if<std::string>(&v);
            // Numbers and NULL are never taken for a formula: only text is guarded.
            out += (first ? "" : ",") + (n != nullptr   ? std::to_string(*n)
                                         : s != nullptr ? CsvField(*s)
                                                        : std::string());
            first = false;
        }
        out += "\r\n";
    }
    return out;
}

}  // namespace romlift::record
