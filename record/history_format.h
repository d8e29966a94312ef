// The record read back, for a person (a short table) or for other programs (JSON, CSV).
#pragma once

#include <string>
#include <vector>

#include "download_row.h"

namespace romlift::record {

// One line per row under a heading: start, port, model, outcome, frames, station, operator,
// the image's name and the first 12 digits of its SHA-256. Ends in a newline; "" for no rows.
std::string HistoryTable(const std::vector<DownloadRow>& rows);

// A JSON array of objects with every column under its table name; integers as numbers, a missing
// checksum byte as null. Bytes that are not UTF-8 (a file name) become U+FFFD.
std::string HistoryJson(const std::vector<DownloadRow>& rows);

// RFC 4180: a header line of the column names, then one line per row, CRLF after each; a field
// holding a comma, a quote, CR or LF is quoted with its quotes doubled. A text cell beginning
// with =, +, -, @, tab or CR is written after a single quote, so that a spreadsheet shows it
// as text rather than running it as a formula.
std::string HistoryCsv(const std::vector<DownloadRow>& rows);

}  // namespace romlift::record
