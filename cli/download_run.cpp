#include "download_run.h"

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "com_map.h"
#include "download.h"
#include "download_state.h"
#include "hangup_guard.h"
#include "image_digest.h"
#include "image_faults.h"
#include "line_trace.h"
#include "models.h"
#include "outcome_advice.h"
#include "port_host.h"
#include "port_identity.h"
#include "port_warnings.h"
#include "protocol.h"
#include "release_check.h"
#include "reporter.h"
#include "row_capture.h"
#include "run_recorder.h"
#include "texts.h"
#include "version.h"

namespace romlift::cli {
namespace {

int UsageError(const Console& console, const std::string& why) {
    std::fprintf(console.err, "romlift-cli: %s\n", why.c_str());
    return kExitUsage;
}

// What the flags ask that the station's policy forbids or the policy requires that the flags
// do not give; nothing when they agree.
std::optional<std::string> AgainstPolicy(const Options& o, const record::Policy& policy) {
    const std::string named = "the station's policy (" + policy.path + ")";
    if (policy.requireUnitSerial && o.unitSerials.empty()) {
        return named + " requires each unit's serial number: give --unit-serial once per --port";
    }
    if (policy.requireRelease && o.anyImageName) {
        return "--any-image-name: " + named +
               " sends only released images; a flag cannot weaken it";
    }
    if (!policy.release.empty() && !o.release.empty() && o.release != policy.release) {
        return "--release: " + named + " names the release list " + policy.release +
               "; a flag cannot change it";
    }
    return std::nullopt;
}

// The verdict on the chosen image, the same for every port: bound to the model when named with
// --image, then released (read once here; every port sends those bytes).
record::ReleaseCheck CheckImage(const Options& o, const ImageChoice& image,
                                const record::Policy& policy) {
    record::ReleaseCheck check;
    if (image.imageFileName.empty()) {
        return check;  // nothing matched: the transfer says so
    }
    const std::string prefix(Models()[static_cast<size_t>(o.modelRow)].prefix);
    if (o.image && !o.anyImageName && !record::CarriesPrefix(image.chosenFileName, prefix)) {
        check.admission = ImageAdmission::Refused;
        check.kind = "image-model";
        check.why = "image " + image.imageFileName.string() + " is not named for the " +
                    std::string(Models()[static_cast<size_t>(o.modelRow)].displayName) +
                    ": its name does not begin with " + prefix +
                    " (--any-image-name sends it all the same)";
        return check;
    }
    return record::CheckRelease(policy, image.imageFileName, o.release);
}

Hint RefusalHint(const record::ReleaseCheck& check, const std::filesystem::path& image) {
    Hint h;
    h.kind = check.kind;
    h.text = check.why;
    h.facts["path"] = image.string();
    if (!check.list.empty()) {
        h.facts["list"] = check.list;
    }
    if (!check.imageSha256.empty()) {
        h.facts["sha256"] = check.imageSha256;
    }
    if (!check.listedSha256.empty()) {
        h.facts["listed_sha256"] = check.listedSha256;
    }
    return h;
}

}  // namespace

int ExitStatus(const std::vector<PortOutcome>& outcomes, int signal) {
    bool interrupted = false, failed = false, refused = false, incomplete = false;
    for (const PortOutcome& out : outcomes) {
        interrupted |= out.interrupted;
        failed |= !out.confirmed && !out.interrupted && !out.notStarted;
        refused |= out.notStarted;
        incomplete |= out.recordRequired && out.recorded == false;
    }
    // A signal that came once every unit had its outcome (while rows were written, say) ends
    // the program at once, but a confirmed unit is never reported as interrupted.
    if (interrupted && signal != 0) {
        return 128 + signal;
    }
    if (failed) {
        return kExitFailed;
    }
    if (refused) {
        return kExitUsage;
    }
    return incomplete ? kExitRecordIncomplete : kExitConfirmed;
}

int RunDownload(const Options& o, const Console& console, Interrupt& interrupt) {
    std::vector<std::string> labels;
    for (const PortArg& p : o.ports) {
        labels.push_back(PortLabel(p));
    }
    if (o.drivers) {
        if (const auto problem = advice::DriversFolderProblem(*o.drivers)) {
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
    if (const auto own = OwnTerminal(o.ports)) {
        return UsageError(console, *own);
    }
    // Opened after the checks of the folder and the ports: their usage errors leave no trace file.
    TraceFile trace;
    if (std::string error; o.trace && !trace.Open(o.trace->string(), &error)) {
        return UsageError(console, error);
    }

    // A record that was asked for and cannot be had stops the run before a terminal is asked
    // to choose and before any port is opened.
    record::RunRecorder record([&reporter](const std::string& note) { reporter->Note(note); });
    record::RecordRequest request;
    request.record = o.record;
    request.noRecord = o.noRecord;
    request.requireRecord = o.requireRecord;
    request.program = "romlift-cli";
    request.version = version::kProduct;
    request.station = o.station;
    request.operatorName = o.operatorName;
    request.lot = o.lot;
    if (std::string error; !record.Open(request, &error)) {
        return UsageError(console, error);
    }
    if (const auto against = AgainstPolicy(o, record.StationPolicy())) {
        return UsageError(console, *against);
    }

    const ImageChoice image = ChooseImage(o, *reporter, console);
    if (image.refused) {
        return kExitUsage;
    }
    if (image.cancelled) {
        return kExitFailed;  // nothing sent, nothing shown: as a cancelled selection
    }
    const record::ReleaseCheck release = CheckImage(o, image, record.StationPolicy());
    uint64_t imageSize = 0;
    if (release.bytes != nullptr) {
        imageSize = release.bytes->size();
    } else if (struct stat st{}; ::stat(image.imageFileName.c_str(), &st) == 0) {
        imageSize = static_cast<uint64_t>(st.st_size);
    }

    WarnBeforeSending(o.ports, labels, *reporter);
    std::vector<PortOutcome> outcomes(o.ports.size());
    auto attempt = [&](size_t i) {
        const PortArg& port = o.ports[i];
        DownloadState state;
        if (port.comNumber > 0) {
            // Once per attempt: both opens of the port, and the record, use what COMn names now.
            const ports::ComResolution com = ports::ResolveCom(port.comNumber);
            state.selectedPort = port.comNumber;
            state.comDevice = {com.com, com.device, com.detail};
        } else {
            state.portDevice = port.device;
        }
        SelectModel(state, o.modelRow);
        state.Line().SetStopSignal(interrupt.Fd());
        PortTrace tap(trace, labels[i]);
        if (o.trace) {
            state.tap = &tap;
        }
        PortHost host(state, labels[i], *reporter, imageSize, interrupt);
        const std::unique_ptr<record::AttemptRow> row = record.NewRow();
        if (record.Enabled()) {
            // Looked up now: a pulled adapter has left sysfs by the time the attempt ends.
            row->SetAdapter(
                record::AdapterOf(PortDevice(state), ports::PortsPaths::ForThisProcess()));
        }
        if (!o.unitSerials.empty()) {
            row->SetUnitSerial(o.unitSerials[i]);
        }
        row->SetRelease(release.listSha256, release.keyId);
        host.admitImage = [&release](DownloadState& s) { return record::Admit(release, s); };
        std::string refusal;
        host.beginSending = [&](DownloadState& s) {
            return record.Start(*row, s, host.LastStatus(), &refusal);
        };
        state.image.SetObserver(&row->Digest());
        const AttemptOutcome r = DoDownload(state, host, [&](DownloadState& s, DownloadHost&) {
            s.imageFileName = image.imageFileName;
            s.chosenFileName = image.chosenFileName;
            return !s.imageFileName.empty();
        });
        state.image.SetObserver(nullptr);
        PortOutcome& out = outcomes[i];
        out = PortOutcome{};
        out.port = labels[i];
        out.confirmed = r.result == AttemptResult::Confirmed;
        out.lastStatus = host.LastStatus();
        out.interrupted = r.cause == EndCause::Stopped;
        // A refused image sent nothing either: refused, not failed.
        out.notStarted = r.cause == EndCause::NotStarted || r.cause == EndCause::ImageRefused;
        if (out.interrupted) {
            out.frame = r.frame;
            out.totalFrames = r.totalFrames > 0 ? r.totalFrames
                                                : protocol::TotalFrames(static_cast<uint32_t>(
                                                      std::min<uint64_t>(imageSize, UINT32_MAX)));
        } else if (r.cause == EndCause::ImageRefused) {
            reporter->Advise(labels[i], RefusalHint(release, image.imageFileName));
        } else if (out.notStarted) {
            Hint h;
            h.kind = "record";
            h.text = labels[i] + ": " + refusal;
            reporter->Advise(labels[i], h);
        } else if (r.result == AttemptResult::Failed) {
            if (const auto hint = advice::ExplainOutcome(
                    labels[i], r, {image.imageFileName, image.searched, image.searchPattern})) {
                reporter->Advise(labels[i], *hint);
            }
        }
        if (record.Enabled() && r.cause != EndCause::NotStarted) {
            out.recorded = record.Finish(*row, state, out.interrupted, out.lastStatus);
            out.recordRequired = record.Required();
        }
        reporter->Outcome(out);
    };
    {
        // From the first byte sent to the last answer, a closing terminal must not end the
        // process, and Ctrl-C or SIGTERM end the attempts rather than the process.
        HangupGuard hangups;
        std::optional<InterruptSignals> signals;
        if (console.catchSignals) {
            signals.emplace(interrupt);
        }
        // A record server that stalls while rows are written gives up at once on a signal.
        record.SetStopSignal(interrupt.Fd());
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
    return ExitStatus(outcomes, interrupt.Signal());
}

}  // namespace romlift::cli
