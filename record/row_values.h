// The row as a list of database values in table order, shared by the SQLite and PostgreSQL code
// so that both write and read the same columns the same way.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "download_row.h"

namespace romlift::record::detail {

using Value = std::variant<std::monostate, int64_t, std::string>;  // monostate: NULL

// Every column but id, in the order RowValues gives them; "user" and "operator" are quoted
// because PostgreSQL reserves them.
inline constexpr const char* kColumns =
    "row_key, started_utc, ended_utc, duration_ms, host, \"user\", program, version, port, "
    "device, adapter, model, type_code, image_path, image_size, image_sha256, image_xor, "
    "frames_confirmed, frames_total, outcome, status_text, station, \"operator\", run_id, "
    "ended_at, unit_serial, lot, release_list_sha256, release_key";
inline constexpr int kColumnCount = 29;

std::vector<Value> RowValues(const DownloadRow& row);
// "col = <prefix>col, ..." for every column but row_key, for an upsert.
std::string UpdateAssignments(const std::string& prefix);
// Reads RowValues' list back; false (with `why`) when a value has the wrong type or an outcome
// is not one the record knows.
bool RowFromValues(int64_t id, const std::vector<Value>& values, DownloadRow* row,
                   std::string* why);
// Whether column `index` of kColumns holds an integer.
bool IsIntegerColumn(int index);

}  // namespace romlift::record::detail
