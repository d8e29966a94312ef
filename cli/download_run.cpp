#include "download_run.h"

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "answer_hint.h"
#include "com_map.h"
#include "download.h"
#include "download_state.h"
#include "hangup_guard.h"
#include "image_digest.h"
#include "image_faults.h"
#include "line_trace.h"
#include "models.h"
#include "port_advice.h"
#include "port_host.h"
#include "port_identity.h"
#include "protocol.h"
#include "reporter.h"
#include "row_capture.h"
#include "run_record.h"
#include "texts.h"
#include "version.h"

namespace romlift::cli {
namespace {

int UsageError(const Console& console, const std::string& why) {
    std::fprintf(console.err, "romlift-cli: %s\n", why.c_str());
    return kExitUsage;
}

}  // namespace

int RunDownload(const Options& o, const Console& console, Interrupt& interrupt) {
    std::vector<std::string> labels;
    for (const PortArg& p : o.ports) {
        labels.push_back(PortLabel(p));
    }
    if (o.drivers) {
        if (const auto problem = DriversFolderProblem(*o.drivers)) {
            return UsageError(console, *problem);
        }
    }
    const std::unique_ptr<Reporter> reporter =
        o.json ? MakeJsonReporter(console.out)
               : MakeTextReporter(console.err, console.errIsTerminal, labels);

    // A COMn looks at the ports first: a map file that does not read is said once, up front.
    for (const PortArg& p : o.ports) {
        if (p.comNumber > 0) {
            ports::ComMap map(ports::PortsPaths::ForThisProcess());
            map.Refresh();
            for (const std::string& problem : map.Problems()) {
                reporter->Note(problem);
            }
            break;
        }
    }
    if (const auto twice = SameDeviceTwice(o.ports)) {
        return UsageError(console, *twice);
    }
    // Opened after the checks of the folder and the ports: their usage errors leave no trace file.
    TraceFile trace;
    if (std::string error; o.trace && !trace.Open(o.trace->string(), &error)) {
        return UsageError(console, error);
    }

    // A record that was asked for and cannot be had stops the run before a terminal is asked
    // to choose and before any port is opened.
    RunRecord record;
    if (std::string error; !record.Open(o, *reporter, &error)) {
        return UsageError(console, error);
    }

    const ImageChoice image = ChooseImage(o, *reporter, console);
    if (image.refused) {
        return kExitUsage;
    }
    if (image.cancelled) {
        return kExitFailed;  // nothing sent, nothing shown: as a cancelled selection
    }
    uint64_t imageSize = 0;
    if (struct stat st{}; ::stat(image.imageFileName.c_str(), &st) == 0) {
        imageSize = static_cast<uint64_t>(st.st_size);
    }

    std::vector<PortOutcome> outcomes(o.ports.size());
    auto attempt = [&](size_t i) {
        const PortArg& port = o.ports[i];
        DownloadState state;
        if (port.comNumber > 0) {
            state.selectedPort = port.comNumber;
        } else {
            state.portDevice = port.device;
        }
        SelectModel(state, o.modelRow);
        state.port.SetStopSignal(interrupt.Fd());
        PortTrace tap(trace, labels[i]);
        if (o.trace) {
            state.tap = &tap;
        }
        PortHost host(state, labels[i], *reporter, imageSize, interrupt);
        // Looked up now: a pulled adapter has left sysfs by the time the attempt ends.
        std::string adapter;
        if (record.Enabled()) {
            adapter = record::AdapterOf(
                port.comNumber > 0 ? ports::ResolveCom(port.comNumber).device : port.device,
                ports::PortsPaths::ForThisProcess());
        }
        record::ImageDigest digest;
        state.image.SetObserver(&digest);
        record::AttemptTimer timer;
        const AttemptResult r = DoDownload(state, host, [&](DownloadState& s, DownloadHost&) {
            s.imageFileName = image.imageFileName;
            s.chosenFileName = image.chosenFileName;
            return !s.imageFileName.empty();
        });
        PortOutcome& out = outcomes[i];
        out = PortOutcome{labels[i], r == AttemptResult::Confirmed, host.LastStatus()};
        if (!out.confirmed && interrupt.Requested()) {
            out.interrupted = true;
            out.frame = state.frameCounter;
            out.totalFrames = state.totalFrames > 0
                                  ? state.totalFrames
                                  : protocol::TotalFrames(static_cast<uint32_t>(
                                        std::min<uint64_t>(imageSize, UINT32_MAX)));
        } else if (r == AttemptResult::Failed) {
            if (const auto advice = ports::AdviseOnFault(state.portFault, labels[i])) {
                reporter->Advise(labels[i], HintFromPortAdvice(*advice));
            } else if (out.lastStatus == texts::kCannotOpenFile ||
                       out.lastStatus == texts::kStreamCannotOpen) {
                reporter->Advise(labels[i], ExplainImage(image.imageFileName, image.searched,
                                                         image.searchPattern));
            } else if (const auto hint =
                           ExplainUnexpectedAnswer(labels[i], state, out.lastStatus,
                                                   texts::Downloading(state.chosenFileName))) {
                reporter->Advise(labels[i], *hint);
            }
        }
        reporter->Outcome(out);
        if (record.Enabled() && r != AttemptResult::Cancelled) {
            timer.Stop();
            record::AttemptContext context;
            context.program = "romlift-cli";
            context.version = version::kProduct;
            context.station = o.station;
            context.operatorName = o.operatorName;
            context.statusText = out.lastStatus;
            context.outcome = out.confirmed     ? record::Outcome::Confirmed
                              : out.interrupted ? record::Outcome::Interrupted
                                                : record::Outcome::Failed;
            context.timer = &timer;
            context.adapter = adapter;
            record::DownloadRow row = record::CaptureRow(state, context, &digest);
            record.Write(row);
        }
        state.image.SetObserver(nullptr);
    };
    {
        // From the first byte sent to the last answer, a closing terminal must not end the
        // process, and Ctrl-C or SIGTERM end the attempts rather than the process.
        HangupGuard hangups;
        std::optional<InterruptSignals> signals;
        if (console.catchSignals) {
            signals.emplace(interrupt);
        }
        if (o.ports.size() == 1) {
            attempt(0);
        } else {
            std::vector<std::thread> threads;
            for (size_t i = 0; i < o.ports.size(); ++i) {
                threads.emplace_back(attempt, i);
            }
            for (std::thread& t : threads) {
                t.join();
            }
        }
        if (hangups.Received()) {
            reporter->Note(
                "hang-up signal received during the download; the download ran to its end first");
        }
    }
    reporter->Summary(outcomes, interrupt.Signal());
    // The units' outcomes stand; a trace that lost lines is said so rather than trusted.
    if (std::string error; !trace.Close(&error)) {
        std::fprintf(console.err, "romlift-cli: %s\n", error.c_str());
    }
    if (interrupt.Requested()) {
        return 128 + interrupt.Signal();
    }
    for (const PortOutcome& out : outcomes) {
        if (!out.confirmed) {
            return kExitFailed;
        }
    }
    return kExitConfirmed;
}

}  // namespace romlift::cli
