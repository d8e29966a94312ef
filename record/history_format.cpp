#include "history_format.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>

#include <nlohmann/json.hpp>

namespace romlift::record {

namespace {

struct Field {
    std::string value;
    bool text;  // false for a number
};

// Every column's value, in ColumnNames() order; the checksum byte "" when missing.
std::vector<Field> Fields(const DownloadRow& r) {
    auto number = [](int64_t n) { return Field{std::to_string(n), false}; };
    auto text = [](const std::string& s) { return Field{s, true}; };
    return {number(r.id),
            text(r.startedUtc),
            text(r.endedUtc),
            number(r.durationMs),
            text(r.host),
            text(r.user),
            text(r.program),
            text(r.version),
            text(r.port),
            text(r.device),
            text(r.adapter),
            text(r.model),
            number(r.typeCode),
            text(r.imagePath),
            number(r.imageSize),
            text(r.imageSha256),
            r.imageXor ? number(*r.imageXor) : Field{"", false},
            number(r.framesConfirmed),
            number(r.framesTotal),
            text(OutcomeName(r.outcome)),
            text(r.statusText),
            text(r.station),
            text(r.operatorName),
            text(r.rowKey),
            text(r.runId),
            text(r.endedAt),
            text(r.unitSerial),
            text(r.lot),
            text(r.releaseListSha256),
            text(r.releaseKey),
            text(r.pushedUtc)};
}

// RFC 4180 quoting. Text a spreadsheet would take for a formula (an operator named
// =HYPERLINK(...), a file name starting with @ or -) gets a leading single quote first, the
// mark that keeps a cell text (OWASP's rule for CSV injection); numbers are left as numbers.
std::string CsvField(const std::string& s, bool text) {
    const bool formula = text && !s.empty() && std::strchr("=+-@\t\r", s.front()) != nullptr;
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
        o["id"] = r.id;
        o["started_utc"] = r.startedUtc;
        o["ended_utc"] = r.endedUtc;
        o["duration_ms"] = r.durationMs;
        o["host"] = r.host;
        o["user"] = r.user;
        o["program"] = r.program;
        o["version"] = r.version;
        o["port"] = r.port;
        o["device"] = r.device;
        o["adapter"] = r.adapter;
        o["model"] = r.model;
        o["type_code"] = r.typeCode;
        o["image_path"] = r.imagePath;
        o["image_size"] = r.imageSize;
        o["image_sha256"] = r.imageSha256;
        o["image_xor"] = r.imageXor ? nlohmann::ordered_json(*r.imageXor) : nullptr;
        o["frames_confirmed"] = r.framesConfirmed;
        o["frames_total"] = r.framesTotal;
        o["outcome"] = OutcomeName(r.outcome);
        o["status_text"] = r.statusText;
        o["station"] = r.station;
        o["operator"] = r.operatorName;
        o["row_key"] = r.rowKey;
        o["run_id"] = r.runId;
        o["ended_at"] = r.endedAt;
        o["unit_serial"] = r.unitSerial;
        o["lot"] = r.lot;
        o["release_list_sha256"] = r.releaseListSha256;
        o["release_key"] = r.releaseKey;
        // When a push sent the row on from the station's file; null while only the file has it.
        o["pushed_utc"] = r.pushedUtc.empty() ? nlohmann::ordered_json(nullptr)
                                              : nlohmann::ordered_json(r.pushedUtc);
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
        const std::vector<Field> fields = Fields(r);
        for (size_t i = 0; i < fields.size(); ++i) {
            out += (i == 0 ? "" : ",") + CsvField(fields[i].value, fields[i].text);
        }
        out += "\r\n";
    }
    return out;
}

}  // namespace romlift::record
