// The download record of one romlift-cli run: opened before the first port, one row per port's
// attempt, written as the attempt ends. Its failures cost no unit: they are said, once.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "download_row.h"
#include "options.h"
#include "record_sink.h"
#include "reporter.h"

namespace romlift::cli {

class RunRecord {
  public:
    // Opens the record `o` names, unless --no-record. False with the reason when a record named
    // by --record or ROMLIFT_RECORD cannot be used: then the download must not start. The default
    // file failing is said through `reporter` and the run goes on without a record.
    bool Open(const Options& o, Reporter& reporter, std::string* error);
    bool Enabled() const { return sink_ != nullptr; }

    // Keeps the row of a finished attempt. A row that went elsewhere (the server away) or
    // nowhere is said through the reporter, once per run whatever the number of ports.
    // Safe from several ports' threads.
    void Write(record::DownloadRow& row);

  private:
    std::unique_ptr<record::RecordSink> sink_;
    Reporter* reporter_ = nullptr;
    std::atomic<bool> noticed_{false};
    std::atomic<bool> failed_{false};
};

}  // namespace romlift::cli
