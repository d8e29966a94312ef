// One attempt's row through its life: written as unfinished before the first byte goes to the
// unit, completed when the attempt ends. A program killed in between leaves the unfinished row,
// which never claims more than happened.
#pragma once

#include <string>

#include "attempt_outcome.h"
#include "image_digest.h"
#include "record_sink.h"
#include "row_capture.h"

namespace romlift::record {

// A fresh run id: one value for the rows of one gang or one dialog attempt.
std::string NewRunId();

class AttemptRow {
  public:
    // `sink` may be null (no record): then every call succeeds and writes nothing. `context`
    // says who and where; its outcome and status text are filled here.
    AttemptRow(RecordSink* sink, AttemptContext context, std::string runId);
    // The context points at this row's own timer.
    AttemptRow(const AttemptRow&) = delete;
    AttemptRow& operator=(const AttemptRow&) = delete;

    // Hand it to the image stream as its observer for the attempt: the row names the image by
    // the bytes the frames carried.
    ImageDigest& Digest() { return digest_; }
    // The adapter behind the port, looked up before the attempt (AdapterOf): a pulled adapter
    // has left sysfs by the time the attempt ends.
    void SetAdapter(std::string adapter) { context_.adapter = std::move(adapter); }
    // The unit's serial number as scanned, for the row.
    void SetUnitSerial(std::string serial) { context_.unitSerial = std::move(serial); }
    // The release list that allowed the image (its SHA-256) and the key that signed it.
    void SetRelease(std::string listSha256, std::string keyId) {
        context_.releaseListSha256 = std::move(listSha256);
        context_.releaseKey = std::move(keyId);
    }

    // Before the first byte: writes the row as unfinished, with the status text shown so far.
    // False with the reason when it could not be written.
    bool Start(const DownloadState& state, const std::string& statusText, std::string* error);
    bool Started() const { return started_; }

    // After the attempt: completes the row started, or writes the whole row of an attempt that
    // ended before it could start. `interrupted` marks an attempt a signal cut short. `notice`
    // and `error` as RecordSink::Complete. An attempt refused before its start row (the record
    // itself failing) writes nothing and succeeds.
    bool Finish(const DownloadState& state, bool interrupted, const std::string& statusText,
                std::string* notice, std::string* error);

    // The row as last written (or as it would have been), for tests and messages.
    const DownloadRow& Row() const { return row_; }

  private:
    RecordSink* sink_;
    AttemptContext context_;
    std::string runId_;
    AttemptTimer timer_;
    ImageDigest digest_;
    DownloadRow row_;
    bool started_ = false;
};

}  // namespace romlift::record
