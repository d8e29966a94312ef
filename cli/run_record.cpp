#include "run_record.h"

namespace romlift::cli {

bool RunRecord::Open(const Options& o, Reporter& reporter, std::string* error) {
    reporter_ = &reporter;
    if (o.noRecord) {
        return true;
    }
    const std::string target = record::ChosenRecordTarget(o.record);
    std::string why;
    sink_ = record::OpenRecordSink(target, &why);
    if (sink_ != nullptr) {
        return true;
    }
    if (!target.empty()) {
        *error = "cannot keep the download record: " + why + "; nothing was sent";
        return false;
    }
    reporter.Note("the download record cannot be kept: " + why +
                  "; the download goes on without it");
    return true;
}

void RunRecord::Write(record::DownloadRow& row) {
    if (sink_ == nullptr) {
        return;
    }
    std::string notice, error;
    if (!sink_->Write(row, &notice, &error)) {
        if (!failed_.exchange(true)) {
            reporter_->Note("this download is not recorded: " + error);
        }
        return;
    }
    if (!notice.empty() && !noticed_.exchange(true)) {
        reporter_->Note(notice);
    }
}

}  // namespace romlift::cli
