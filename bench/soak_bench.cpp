// Soak: many short download attempts against the virtual unit, each refused at the header (the
// unit answers 0xFD), watching the process for growth. Every 100 attempts it samples the resident
// set (VmRSS) and the open descriptors; it prints the table and the first, last and largest
// figures, and exits 1 when the descriptor count grew or an attempt ended any other way.
//
//   soak_bench [--attempts N] [--hang-up | --sim PATH]
//
// --hang-up: the unit also hangs up its line after each header answer and comes back on a new
// pty behind a link, so the soak covers the lost-line path of the engine and the unit's
// re-plugging as well.
// --sim PATH: serve the attempts from the vx7r-sim executable at PATH instead of a unit inside
// this process; the figures are then the engine's alone, without the unit's attempt records.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "bench_options.h"
#include "download_host.h"
#include "download_state.h"
#include "scratch_dir.h"
#include "transfer.h"
#include "virtual_unit.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kRefusal = "ChkFrmMisMatch_LogMem";  // the text for a 0xFD header answer

class QuietHost final : public romlift::DownloadHost {
  public:
    void SetStatus(std::string_view text) override { last.assign(text); }
    void PaintProgress(int) override {}
    void ClearProgress() override {}
    bool ChooseFirmware(romlift::DownloadState&) override { return true; }
    void ShowWaitCursor(bool) override {}
    std::string last;
};

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

// vx7r-sim as a child, serving behind `link`; stopped with SIGTERM when this goes.
class SimProcess {
  public:
    SimProcess(const std::string& exe, const std::string& link) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        std::vector<std::string> args = {exe,    "--no-pace", "--quiet", "--header-answer",
                                         "0xFD", "--link",    link};
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        // The first line is the device: the link is in place once it comes.
        pollfd p{out[0], POLLIN, 0};
        char c = 0;
        while (pid_ > 0 && poll(&p, 1, 5000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') {
        }
        ready_ = c == '\n';
        close(out[0]);
    }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    bool Ready() const { return ready_; }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

struct Sample {
    int attempts;
    long rssKiB;
    int descriptors;
    double seconds;
};

}  // namespace

int main(int argc, char** argv) {
    int total = 1000;
    bool hangUp = false;
    std::string simExe;
    CLI::App app{"Refused attempts in a row: memory and descriptors must stay flat", "soak_bench"};
    app.add_option("--attempts", total, "how many attempts (default 1000)")
        ->check(romlift::bench::Decimal())
        ->check(CLI::Range(1, INT_MAX));
    // Only a unit in this process can say when it is back on its new line.
    auto* hangUpFlag =
        app.add_flag("--hang-up", hangUp, "the unit hangs up after each header answer");
    app.add_option("--sim", simExe, "serve the attempts from this vx7r-sim executable")
        ->excludes(hangUpFlag);
    if (const auto status = romlift::bench::ParseOptions(app, argc, argv)) {
        return *status;
    }

    const romlift::testing::ScratchDir dir("romlift-soak");
    const fs::path image = dir.Write("soak.abs", {0x11, 0x22, 0x33, 0x44, 0x55});
    if (image.empty()) {
        std::fprintf(stderr, "soak_bench: cannot write the image under %s\n", dir.Path().c_str());
        return 1;
    }

    vx7r::UnitOptions options;
    options.pace = false;
    options.faults.headerAnswer = 0xFD;
    options.linkPath = (dir.Path() / "COM1").string();
    if (hangUp) {
        options.faults.hangUpAt = vx7r::Phase::Header;
        options.faults.hangUpAfterAnswer = true;
    }
    int failures = 0;
    std::vector<Sample> samples;
    const auto start = Clock::now();
    {
        vx7r::VirtualUnit unit(options);
        std::optional<SimProcess> sim;
        std::string error;
        if (!simExe.empty()) {
            sim.emplace(simExe, options.linkPath);
            if (!sim->Ready()) {
                std::fprintf(stderr, "soak_bench: %s did not start\n", simExe.c_str());
                return 1;
            }
        } else if (!unit.Start(&error)) {
            std::fprintf(stderr, "soak_bench: cannot start the virtual unit: %s\n", error.c_str());
            return 1;
        }
        auto sample = [&](int done) {
            samples.push_back({done, ResidentKiB(), romlift::testing::OpenDescriptorCount(),
                               std::chrono::duration<double>(Clock::now() - start).count()});
        };
        sample(0);
        for (int n = 1; n <= total; ++n) {
            romlift::DownloadState state;
            state.portDevice = options.linkPath;
            state.imageFileName = image;
            state.chosenFileName = "soak.abs";
            QuietHost host;
            const bool confirmed = romlift::TransferImage(state, host);
            // With --hang-up the next attempt must find the unit back on its new line.
            if (hangUp && !unit.WaitForAttempts(static_cast<size_t>(n), 2000)) {
                std::fprintf(stderr, "attempt %d: the unit did not come back\n", n);
                ++failures;
            }
            if (confirmed || host.last != kRefusal) {
                if (failures < 10) {
                    std::fprintf(stderr, "attempt %d ended with \"%s\"\n", n, host.last.c_str());
                }
                ++failures;
            }
            if (n % 100 == 0 || n == total) {
                sample(n);
            }
        }
    }

    std::printf("%s, %s, %d attempts refused at the header\n",
                simExe.empty() ? "unit in this process" : "unit in a vx7r-sim process",
                hangUp ? "hanging up after each header answer" : "same line throughout", total);
    std::printf("%9s %10s %12s %9s\n", "attempts", "VmRSS KiB", "descriptors", "seconds");
    long maxRss = 0;
    int maxFds = 0;
    for (const Sample& s : samples) {
        std::printf("%9d %10ld %12d %9.1f\n", s.attempts, s.rssKiB, s.descriptors, s.seconds);
        maxRss = std::max(maxRss, s.rssKiB);
        maxFds = std::max(maxFds, s.descriptors);
    }
    const Sample& first = samples.front();
    const Sample& last = samples.back();
    std::printf("VmRSS KiB: first %ld, last %ld, max %ld; descriptors: first %d, last %d, max %d\n",
                first.rssKiB, last.rssKiB, maxRss, first.descriptors, last.descriptors, maxFds);
    std::printf("%.1f s for %d attempts, %.1f ms each; %d ended otherwise than refused\n",
                last.seconds, total, 1000.0 * last.seconds / total, failures);
    if (last.descriptors > first.descriptors || maxFds > first.descriptors) {
        std::printf("FAIL: the descriptor count grew\n");
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
