#include "attempt_row.h"

#include "download_state.h"

namespace romlift::record {

std::string NewRunId() {
    return NewRowKey();
}

AttemptRow::AttemptRow(RecordSink* sink, AttemptContext context, std::string runId)
    : sink_(sink), context_(std::move(context)), runId_(std::move(runId)) {
    context_.timer = &timer_;
}

bool AttemptRow::Start(const DownloadState& state, const std::string& statusText,
                       std::string* error) {
    if (sink_ == nullptr) {
        return true;
    }
    context_.outcome = Outcome::Unfinished;
    context_.statusText = statusText;
    row_ = CaptureRow(state, context_, nullptr);
    row_.runId = runId_;
    if (!sink_->Start(row_, error)) {
        return false;
    }
    started_ = true;
    return true;
}

bool AttemptRow::Finish(const DownloadState& state, bool interrupted, const std::string& statusText,
                        std::string* notice, std::string* error) {
    timer_.Stop();
    if (sink_ == nullptr || state.outcome.cause == EndCause::NotStarted) {
        return true;
    }
    const std::string key = row_.rowKey;
    context_.outcome = state.outcome.result == AttemptResult::Confirmed ? Outcome::Confirmed
                       : interrupted                                    ? Outcome::Interrupted
                                                                        : Outcome::Failed;
    context_.statusText = statusText;
    row_ = CaptureRow(state, context_, &digest_);
    row_.runId = runId_;
    if (started_) {
        row_.rowKey = key;  // completes the unfinished row rather than adding another
    }
    return sink_->Complete(row_, notice, error);
}

}  // namespace romlift::record
