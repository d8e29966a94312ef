// romlift-cli: the download engine from a terminal, for scripts and production lines.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "doctor.h"
#include "download_run.h"
#include "history.h"
#include "listings.h"
#include "options.h"
#include "release_command.h"

int main(int argc, char** argv) {
    using namespace romlift::cli;
    // A vanished reader of our output must not kill a download half way.
    std::signal(SIGPIPE, SIG_IGN);

    const ParseResult parsed = Parse(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::fprintf(stderr, "romlift-cli: %s\n", parsed.error.c_str());
        return kExitUsage;
    }
    if (!parsed.warning.empty()) {
        std::fprintf(stderr, "romlift-cli: %s\n", parsed.warning.c_str());
    }
    const Options& o = *parsed.options;
    switch (o.command) {
        case Options::Command::Help:
            std::fputs(kUsage, stdout);
            return 0;
        case Options::Command::Version:
            std::printf("%s\n", VersionLine().c_str());
            return 0;
        case Options::Command::Models:
            PrintModels(stdout);
            return 0;
        case Options::Command::Ports:
            return RunPorts(o);
        case Options::Command::History:
            return RunHistory(o, stdout, stderr);
        case Options::Command::Doctor:
            return RunDoctor(o.json);
        case Options::Command::Release:
            return RunRelease(o, stdout, stderr);
        case Options::Command::Download:
            break;
    }
    Console console;
    console.errIsTerminal = ::isatty(STDERR_FILENO) == 1;
    console.inIsTerminal = ::isatty(STDIN_FILENO) == 1;
    console.catchSignals = true;
    romlift::Interrupt interrupt;
    return RunDownload(o, console, interrupt);
}
