// The download record of one run of attempts (a gang of ports, or one attempt of the Download
// dialog): the station's policy and the flags decide where rows go and whether they are
// required; each attempt's row is written before its first byte and completed when it ends. A
// required record that fails stops or marks the attempt; the default file failing costs no unit
// and is said once.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "attempt_row.h"
#include "policy.h"
#include "record_sink.h"

namespace romlift::record {

// What the user asked of the record (romlift-cli's flags; the window program asks nothing).
struct RecordRequest {
    std::string record;  // --record; "" for ROMLIFT_RECORD, the policy or the default file
    bool noRecord = false;
    bool requireRecord = false;
    std::string program;  // romlift or romlift-cli
    std::string version;
    std::string station;  // "" for ROMLIFT_STATION, else the host name
    std::string operatorName;
    std::string lot;  // the work order, for every row of the run
};

class RunRecorder {
  public:
    // `note` gets each remark worth one line (without the program's name): a default file that
    // cannot be kept, rows that went to the local file, a row not kept. Called from the
    // attempts' threads, never twice for the same kind of remark.
    explicit RunRecorder(std::function<void(const std::string&)> note);

    // Reads the station's policy and opens the record the policy and `request` name, unless
    // none is kept. False with the reason when the policy cannot be read, a flag would weaken
    // it, or a required record cannot be opened: then nothing may be sent.
    bool Open(const RecordRequest& request, std::string* error);
    bool Enabled() const { return sink_ != nullptr; }
    // The station's policy as Open read it (no rules before Open, or when it could not be read).
    const Policy& StationPolicy() const { return policy_; }
    // Whether a row that cannot be written stops (start) or marks (end) the attempt.
    bool Required() const { return required_; }
    // Ends waits on a record server at once when `fd` turns readable.
    void SetStopSignal(int fd);

    // A row for one attempt, sharing this run's id.
    std::unique_ptr<AttemptRow> NewRow() const;

    // Writes the start row; true when the attempt may send. A required record that fails
    // refuses the attempt (false, `why` set to a sentence); the default file failing is said
    // once and the attempt goes on unrecorded.
    bool Start(AttemptRow& row, const DownloadState& state, const std::string& status,
               std::string* why);
    // Completes the row; true when it is kept complete somewhere. A row that went elsewhere
    // (the server away or stalled) or nowhere is said, once per run; `why` (when given) gets
    // the reason a row was not kept.
    bool Finish(AttemptRow& row, const DownloadState& state, bool interrupted,
                const std::string& status, std::string* why = nullptr);

  private:
    std::function<void(const std::string&)> note_;
    std::unique_ptr<RecordSink> sink_;
    RecordRequest request_;
    Policy policy_;
    bool required_ = false;
    std::string runId_;
    std::atomic<bool> noticed_{false};
    std::atomic<bool> failed_{false};
};

}  // namespace romlift::record
