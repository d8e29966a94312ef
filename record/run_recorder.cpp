#include "run_recorder.h"

namespace romlift::record {

RunRecorder::RunRecorder(std::function<void(const std::string&)> note)
    : note_(std::move(note)), runId_(NewRunId()) {}

bool RunRecorder::Open(const RecordRequest& request, std::string* error) {
    request_ = request;
    if (!LoadPolicy(PolicyPath(), &policy_, error)) {
        return false;
    }
    const auto choice = ChooseRecord(policy_, request.record, RecordFromEnvironment(),
                                     request.noRecord, request.requireRecord, error);
    if (!choice) {
        return false;
    }
    if (choice->none) {
        return true;
    }
    required_ = choice->required;
    std::string why, notice;
    sink_ = OpenRecordSink(choice->target, &why, DefaultRecordPath(), &notice);
    if (!notice.empty()) {
        note_(notice);
    }
    if (sink_ != nullptr) {
        return true;
    }
    if (required_) {
        *error = "cannot keep the download record: " + why + "; nothing was sent";
        return false;
    }
    failed_ = true;
    note_("the download record cannot be kept: " + why + "; the download goes on without it");
    return true;
}

void RunRecorder::SetStopSignal(int fd) {
    if (sink_ != nullptr) {
        sink_->SetStopSignal(fd);
    }
}

std::unique_ptr<AttemptRow> RunRecorder::NewRow() const {
    AttemptContext context;
    context.program = request_.program;
    context.version = request_.version;
    context.station = request_.station;
    context.operatorName = request_.operatorName;
    context.lot = request_.lot;
    return std::make_unique<AttemptRow>(sink_.get(), std::move(context), runId_);
}

bool RunRecorder::Start(AttemptRow& row, const DownloadState& state, const std::string& status,
                        std::string* why) {
    std::string error;
    if (row.Start(state, status, &error)) {
        return true;
    }
    if (required_) {
        *why = "cannot write the download record: " + error + "; nothing was sent";
        return false;
    }
    if (!failed_.exchange(true)) {
        note_("this download is not recorded: " + error);
    }
    return true;
}

bool RunRecorder::Finish(AttemptRow& row, const DownloadState& state, bool interrupted,
                         const std::string& status, std::string* why) {
    if (sink_ == nullptr) {
        return false;
    }
    std::string notice, error;
    if (!row.Finish(state, interrupted, status, &notice, &error)) {
        const std::string said =
            std::string(row.Started() ? "this download is recorded incompletely (its row stays "
                                        "unfinished): "
                                      : "this download is not recorded: ") +
            error;
        if (why != nullptr) {
            *why = said;
        }
        if (!failed_.exchange(true)) {
            note_(said);
        }
        return false;
    }
    if (!notice.empty() && !noticed_.exchange(true)) {
        note_(notice);
    }
    return true;
}

}  // namespace romlift::record
