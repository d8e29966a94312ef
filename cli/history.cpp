#include "history.h"

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "download_row.h"
#include "history_format.h"
#include "pg_record.h"
#include "record_sink.h"
#include "sqlite_record.h"

namespace romlift::cli {
namespace {

int Fail(std::FILE* err, const std::string& why, int status) {
    std::fprintf(err, "romlift-cli: %s\n", why.c_str());
    return status;
}

int Push(const std::string& target, std::FILE* out, std::FILE* err) {
    if (!record::IsServerUri(target)) {
        return Fail(err,
                    "history --push needs the server: --record postgresql://... or "
                    "ROMLIFT_RECORD",
                    2);
    }
    const std::filesystem::path localPath = record::DefaultRecordPath();
    std::error_code ec;
    if (!std::filesystem::exists(localPath, ec)) {
        std::fprintf(out, "nothing to send: %s does not exist\n", localPath.c_str());
        return 0;
    }
    record::SqliteRecord local;
    record::PgRecord server;
    std::string error;
    if (!local.Open(localPath, record::SqliteRecord::Access::Write, false, &error) ||
        !server.Connect(target, &error)) {
        return Fail(err, error, 1);
    }
    record::PushCounts counts;
    const bool ok = record::PushLocal(local, server, &counts, &error);
    std::fprintf(out, "%d sent to %s, %d already there, %d refused\n", counts.sent,
                 server.Where().c_str(), counts.already, counts.refused);
    return ok ? 0 : Fail(err, error, 1);
}

}  // namespace

int RunHistory(const Options& o, std::FILE* out, std::FILE* err) {
    std::string target = record::ChosenRecordTarget(o.record);
    if (o.push) {
        return Push(target, out, err);
    }
    // Rows wait for a push in the station's own file, whatever server the station names.
    if (o.pending && record::IsServerUri(target)) {
        target.clear();
    }
    // A named file that is not there is most often a mistyped name: an empty answer would read
    // as "no downloads". The default file missing is a station that has recorded none yet.
    if (std::error_code ec; !target.empty() && !record::IsServerUri(target) &&
                            !std::filesystem::exists(target, ec) && !ec) {
        return Fail(err, target + ": no such file; no download has been recorded there", 1);
    }
    record::HistoryFilter filter;
    filter.sinceUtc = o.since;
    filter.untilUtc = o.until;
    filter.port = o.historyPort;
    filter.station = o.historyStation;
    filter.model = o.historyModel;
    filter.outcome = record::ParseOutcome(o.historyOutcome);
    filter.pending = o.pending;
    filter.limit = o.limit;
    std::vector<record::DownloadRow> rows;
    if (std::string error; !record::ReadHistory(target, filter, &rows, &error)) {
        return Fail(err, error, 1);
    }
    const std::string text = o.json  ? record::HistoryJson(rows)
                             : o.csv ? record::HistoryCsv(rows)
                                     : record::HistoryTable(rows);
    std::fputs(text.c_str(), out);
    return 0;
}

}  // namespace romlift::cli
