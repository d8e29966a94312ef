// vx7r-sim: serves one virtual unit until SIGINT/SIGTERM or, with --once, its first attempt.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "image_file.h"
#include "sim_options.h"
#include "virtual_unit.h"

namespace {

void PrintLine(FILE* stream, const std::string& line) {
    fputs(line.c_str(), stream);
    fputc('\n', stream);
    fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
    vx7r::SimOptions options;
    std::string error;
    if (!vx7r::ParseSimOptions(argc, argv, &options, &error)) {
        PrintLine(stderr, "vx7r-sim: " + error);
        return 2;
    }
    if (options.help || options.version) {
        fputs(options.help ? vx7r::kSimUsage : (vx7r::SimVersionLine() + "\n").c_str(), stdout);
        return 0;
    }

    // The unit's thread inherits this mask, so only sigwait() below ever takes these signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);  // the first attempt has ended (--once)
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::atomic<int> onceStatus{1};
    vx7r::VirtualUnit unit(options.unit);
    vx7r::Observer observer;
    if (!options.quiet) {
        observer.log = [](const std::string& line) { PrintLine(stderr, line); };
    }
    observer.attemptEnded = [&](size_t number, const vx7r::Attempt& attempt) {
        bool saved = true;
        if (attempt.confirmed && !options.savePath.empty()) {
            std::string why;
            saved = vx7r::SaveImage(options.savePath, attempt.image, &why);
            if (!saved) {
                PrintLine(stderr, "vx7r-sim: " + why);
            } else if (!options.quiet) {
                PrintLine(stderr, "saved " + std::to_string(attempt.image.size()) + " bytes to " +
                                      options.savePath);
            }
        }
        if (options.once && number == 1) {
            onceStatus = attempt.confirmed && saved ? 0 : 1;
            kill(getpid(), SIGUSR1);
        }
    };
    // A script that follows the unit across hang-ups reads each new device from standard output.
    observer.lineChanged = [](const std::string& path) {
        if (!path.empty()) {
            PrintLine(stdout, path);
        }
    };
    unit.SetObserver(observer);
    if (!unit.Start(&error)) {
        PrintLine(stderr, "vx7r-sim: cannot make the pty: " + error);
        return 1;
    }
    PrintLine(stdout, unit.DevicePath());

    int signal = 0;
    while (sigwait(&signals, &signal) != 0 || (signal == SIGUSR1 && !options.once)) {
    }
    // The last answer may still be on its way to the host; hang up once the host lets go.
    unit.StopWhenHostCloses(signal == SIGUSR1 ? 2000 : 200);
    return signal == SIGUSR1 ? onceStatus.load() : 0;
}
