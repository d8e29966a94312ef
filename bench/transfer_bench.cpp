// Transfer of a 64 KiB image to the virtual unit, reported as ratios against what the line and
// the protocol's pauses allow:
//   (a) without line pacing: median frame period against the 28 ms pause before each answer;
//   (b) with 9600-baud pacing: whole transfer against the floor of the line model;
//   (c) CPU time of the downloading thread as a share of wall time.
//
// Line model for (b): a byte takes B = 10/9600 s (start bit, 8 data bits, stop bit). The host
// writes a message of L bytes and pauses 28 ms; the unit answers once the last byte has arrived,
// and its answer takes one more byte time. The host therefore sees each answer after
// max(28 ms, (L + 1) * B), and the transfer cannot take less than the sum of those over all
// messages: wake-up (1), header (20), checksum (1), frames (n + 4), end frame (2).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_options.h"
#include "bench_timing.h"
#include "download_host.h"
#include "download_state.h"
#include "scratch_dir.h"
#include "seeded_image.h"
#include "transfer.h"
#include "virtual_unit.h"

namespace {

using romlift::bench::Clock;
using romlift::bench::CpuSeconds;

class TimingHost final : public romlift::DownloadHost {
  public:
    void SetStatus(std::string_view text) override { last = std::string(text); }
    void PaintProgress(int) override { paints.push_back(Clock::now()); }
    void ClearProgress() override {}
    bool ChooseFirmware(romlift::DownloadState&) override { return true; }
    void ShowWaitCursor(bool) override {}

    std::string last;
    std::vector<Clock::time_point> paints;
};

struct Run {
    bool ok = false;
    double wall = 0;
    double cpu = 0;
    std::vector<double> framePeriodsMs;
};

Run Transfer(const std::string& image, bool pace) {
    vx7r::UnitOptions o;
    o.pace = pace;
    vx7r::VirtualUnit unit(o);
    std::string error;
    if (!unit.Start(&error)) {
        std::fprintf(stderr, "cannot start the virtual unit: %s\n", error.c_str());
        std::exit(1);
    }
    romlift::DownloadState state;
    state.portDevice = unit.DevicePath();
    state.imageFileName = image;
    state.chosenFileName = "bench.abs";
    TimingHost host;

    Run r;
    const double cpu0 = CpuSeconds(RUSAGE_THREAD);
    const auto t0 = Clock::now();
    r.ok = romlift::TransferImage(state, host);
    r.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    r.cpu = CpuSeconds(RUSAGE_THREAD) - cpu0;
    r.framePeriodsMs = romlift::bench::PeriodsMs(host.paints);
    if (!r.ok) {
        std::fprintf(stderr, "transfer failed: %s\n", host.last.c_str());
    }
    return r;
}

double LineFloorSeconds(size_t size) {
    const double byte = 10.0 / 9600.0;
    auto message = [&](size_t len) { return std::max(0.028, static_cast<double>(len + 1) * byte); };
    double t = message(1) + message(20) + message(1) + message(2);
    size_t left = size;
    do {
        const size_t n = std::min<size_t>(50, left);
        t += message(n + 4);
        left -= n;
    } while (left > 0);
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    size_t size = 64 * 1024;
    bool noPaced = false;
    CLI::App app{"Frame period, whole transfer at 9600 baud and CPU share against vx7r-sim",
                 "transfer_bench"};
    app.add_option("--size", size, "image size in bytes")
        ->check(romlift::bench::Decimal())
        ->check(CLI::Range(size_t{1}, size_t{UINT32_MAX}));
    app.add_flag("--no-paced", noPaced, "skip the transfer paced at 9600 baud");
    if (const auto status = romlift::bench::ParseOptions(app, argc, argv)) {
        return *status;
    }
    const bool paced = !noPaced;

    const romlift::testing::ScratchDir dir("romlift-bench");
    const std::string image = dir.Write("bench.abs", romlift::testing::SeededImage(size));
    if (image.empty()) {
        std::fprintf(stderr, "cannot write the image under %s\n", dir.Path().c_str());
        return 1;
    }

    std::printf("image: %zu bytes, %zu frames\n", size, (size + 49) / 50);
    const Run fast = Transfer(image, false);
    const double median = romlift::bench::Percentile(fast.framePeriodsMs, 50);
    std::printf(
        "(a) unpaced: median frame period %.3f ms = %.4f x the 28 ms pause "
        "(own overhead %.3f ms a frame; target < 28.5 ms); whole transfer %.2f s\n",
        median, median / 28.0, median - 28.0, fast.wall);
    std::printf(
        "(c) unpaced: downloading thread CPU %.3f s of %.2f s wall = %.2f%% (target < 5%%)\n",
        fast.cpu, fast.wall, 100.0 * fast.cpu / fast.wall);

    bool ok = fast.ok;
    if (paced) {
        const Run slow = Transfer(image, true);
        const double floor = LineFloorSeconds(size);
        std::printf(
            "(b) paced at 9600 baud: %.2f s against a line floor of %.2f s = %.4f x "
            "(target within 2%%)\n",
            slow.wall, floor, slow.wall / floor);
        std::printf("(c) paced: downloading thread CPU %.3f s of %.2f s wall = %.2f%%\n", slow.cpu,
                    slow.wall, 100.0 * slow.cpu / slow.wall);
        ok = ok && slow.ok;
    }
    return ok ? 0 : 1;
}
