// romlift-cli: the download engine from a terminal, for scripts and production lines.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "com_map.h"
#include "download.h"
#include "download_state.h"
#include "firmware_locator.h"
#include "hangup_guard.h"
#include "line_trace.h"
#include "listings.h"
#include "models.h"
#include "options.h"
#include "port_advice.h"
#include "port_host.h"
#include "reporter.h"

namespace romlift::cli {
namespace {

using ports::AdviseOnFault;

constexpr int kExitConfirmed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::string PortLabel(const PortArg& p) { return p.comNumber > 0 ? "COM" + std::to_string(p.comNumber) : p.device; }

void PrintCandidatesJson(const std::vector<FileRow>& rows) {
    std::string line = "{\"event\":\"candidates\",\"files\":[";
    for (size_t i = 0; i < rows.size(); ++i) {
        const FileRow& r = rows[i];
        line += (i > 0 ? "," : "");
        line += "{\"name\":" + JsonString(r.name) + ",\"date\":" + JsonString(r.date) +
                ",\"path\":" + JsonString(r.path) + ",\"size\":" + JsonString(r.size) +
                ",\"time\":" + JsonString(r.time) + ",\"default\":" + (i + 1 == rows.size() ? "true" : "false") + "}";
    }
    line += "]}\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

// The image every port sends, as the locator (or --image) decided it.
struct ImageChoice {
    std::filesystem::path imageFileName;
    std::string chosenFileName;
    bool cancelled = false;
    bool refused = false;
};

ImageChoice ResolveImage(const Options& o, Reporter& reporter) {
    ImageChoice c;
    if (o.image) {
        c.imageFileName = *o.image;
        c.chosenFileName = o.image->filename().string();
        return c;
    }
    DownloadState probe;
    SelectModel(probe, o.modelRow);
    PortHost host(probe, "", reporter, 0);
    host.chooser = [&](DownloadState& s) {
        const std::vector<FileRow> rows = MakeFileRows(FindFirmware(s.driversFolder, s.modelPrefix), s.programFolder);
        if (rows.empty()) {
            return true;  // gone since the search: the transfer reports the file it cannot open
        }
        const bool ask = !o.pick && ::isatty(STDIN_FILENO) == 1;
        if (o.json) {
            PrintCandidatesJson(rows);
        } else {
            PrintChoices(stderr, rows);
        }
        size_t index = rows.size() - 1;
        std::string why;
        switch (ChooseRow(rows, o.pick, ask, stdin, stderr, &index, &why)) {
            case Choice::Taken:
                s.chosenFileName = rows[index].name;
                s.imageFileName = s.driversFolder / rows[index].name;
                return true;
            case Choice::Refused:
                reporter.Note(why);
                c.refused = true;
                break;
            case Choice::Cancelled:
                break;
        }
        s.cancel = 1;
        return false;
    };
    LocateOptions where;
    if (o.drivers) {
        where.driversFolder = *o.drivers;
    }
    if (!FirmwareHelper::LocateFirmware(probe, host, where)) {
        reporter.Note("no firmware image matches " + probe.searchPattern);
    } else if (o.pick && probe.cancel == 0 && probe.chosenFileName != *o.pick) {
        // One match only, and not the one asked for: do not send another file than named.
        reporter.Note("--pick " + *o.pick + ": the only image that matches is " + probe.chosenFileName);
        c.refused = true;
        probe.cancel = 1;
    }
    c.imageFileName = probe.imageFileName;
    c.chosenFileName = probe.chosenFileName;
    c.cancelled = probe.cancel != 0;
    return c;
}

int RunPorts(const Options& o) {
    ports::ComMap map(ports::PortsPaths::ForThisProcess());
    std::string why;
    switch (o.portsAction) {
        case Options::PortsAction::List:
            PrintPorts(stdout, map, o.json);
            return kExitConfirmed;
        case Options::PortsAction::Assign:
            if (!map.Assign(o.comNumber, o.assignDevice, o.force, &why)) {
                std::fprintf(stderr, "romlift-cli: %s\n", why.c_str());
                return kExitUsage;
            }
            std::printf("%s\n", map.Resolve(o.comNumber).Describe().c_str());
            return kExitConfirmed;
        case Options::PortsAction::Forget:
            if (!map.Forget(o.comNumber, &why)) {
                std::fprintf(stderr, "romlift-cli: %s\n", why.c_str());
                return kExitUsage;
            }
            std::printf("COM%d freed in %s\n", o.comNumber, map.Paths().userMap.c_str());
            return kExitConfirmed;
    }
    return kExitUsage;
}

int RunDownload(const Options& o) {
    std::unique_ptr<Reporter> reporter =
        o.json ? MakeJsonReporter(stdout) : MakeTextReporter(stderr, ::isatty(STDERR_FILENO) == 1, o.ports.size() > 1);

    TraceFile trace;
    if (o.trace) {
        std::string error;
        if (!trace.Open(o.trace->string(), &error)) {
            std::fprintf(stderr, "romlift-cli: %s\n", error.c_str());
            return kExitUsage;
        }
    }

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

    const ImageChoice image = ResolveImage(o, *reporter);
    if (image.refused) {
        return kExitUsage;
    }
    if (image.cancelled) {
        return kExitFailed;  // nothing sent, nothing shown: as a cancelled selection
    }
    uint64_t imageSize = 0;
    if (struct stat st {}; ::stat(image.imageFileName.c_str(), &st) == 0) {
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
        PortTrace tap(trace, PortLabel(port));
        if (o.trace) {
            state.tap = &tap;
        }
        PortHost host(state, PortLabel(port), *reporter, imageSize);
        const AttemptResult r = DoDownload(state, host, [&](DownloadState& s, DownloadHost&) {
            s.imageFileName = image.imageFileName;
            s.chosenFileName = image.chosenFileName;
            return !s.imageFileName.empty();
        });
        if (r == AttemptResult::Failed) {
            if (const auto advice = AdviseOnFault(state.portFault, PortLabel(port))) {
                reporter->Hint(PortLabel(port), *advice);
            }
        }
        outcomes[i] = PortOutcome{PortLabel(port), r == AttemptResult::Confirmed, host.LastStatus()};
        reporter->Outcome(outcomes[i]);
    };
    // From the first byte sent to the last answer, a closing terminal must not end the process.
    HangupGuard hangups;
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
    reporter->Summary(outcomes);
    // The units' outcomes stand; a trace that lost lines is said so rather than trusted.
    if (std::string error; !trace.Close(&error)) {
        std::fprintf(stderr, "romlift-cli: %s\n", error.c_str());
    }
    for (const PortOutcome& out : outcomes) {
        if (!out.confirmed) {
            return kExitFailed;
        }
    }
    return kExitConfirmed;
}

}  // namespace
}  // namespace romlift::cli

int main(int argc, char** argv) {
    // A vanished reader of our output must not kill a download half way.
    std::signal(SIGPIPE, SIG_IGN);

    using romlift::cli::Options;
    std::vector<std::string> args(argv + 1, argv + argc);
    const romlift::cli::ParseResult parsed = romlift::cli::Parse(args);
    if (!parsed.options) {
        std::fprintf(stderr, "romlift-cli: %s\n", parsed.error.c_str());
        return romlift::cli::kExitUsage;
    }
    switch (parsed.options->command) {
        case Options::Command::Help:
            std::fputs(romlift::cli::kUsage, stdout);
            return 0;
        case Options::Command::Models:
            romlift::cli::PrintModels(stdout);
            return 0;
        case Options::Command::Ports:
            return romlift::cli::RunPorts(*parsed.options);
        case Options::Command::Download:
            break;
    }
    return romlift::cli::RunDownload(*parsed.options);
}
