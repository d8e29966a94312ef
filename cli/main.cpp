// romlift-cli: the download engine from a terminal, for scripts and production lines.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "console_host.h"
#include "download_state.h"
#include "models.h"
#include "options.h"
#include "transfer.h"

namespace {

int RunDownload(const romlift::cli::Options& o) {
    romlift::DownloadState state;
    const romlift::cli::PortArg& port = o.ports.front();
    if (port.comNumber > 0) {
        state.selectedPort = port.comNumber;
    } else {
        state.portDevice = port.device;
    }
    romlift::SelectModel(state, o.modelRow);
    state.imageFileName = *o.image;
    state.chosenFileName = o.image->filename().string();

    romlift::cli::ConsoleHost host(state, stderr, ::isatty(STDERR_FILENO) == 1);
    const bool confirmed = romlift::TransferImage(state, host);
    host.Finish();
    return confirmed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // A vanished reader of our output must not kill a download half way.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args(argv + 1, argv + argc);
    const romlift::cli::ParseResult parsed = romlift::cli::Parse(args);
    if (!parsed.options) {
        std::fprintf(stderr, "romlift-cli: %s\n", parsed.error.c_str());
        return 2;
    }
    if (parsed.options->command == romlift::cli::Options::Command::Help) {
        std::fputs(romlift::cli::kUsage, stdout);
        return 0;
    }
    return RunDownload(*parsed.options);
}
