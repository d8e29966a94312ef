// One transfer through the Download dialog (offscreen), as the window program runs it, against the
// virtual unit without line pacing: the period between bar paints as the GUI thread carries them
// out, and the CPU time of the whole process (engine and GUI threads) as a share of wall time.
//   dialog_bench [--size BYTES] [--direct]   (--help lists them)
// --direct runs the attempt on the GUI thread with the dialog as the engine's host, as the dialog
// did before its attempts got a thread of their own; without it, the dialog's own RunAttempt.
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QLabel>

#include "attempt_thread.h"
#include "bench_options.h"
#include "bench_timing.h"
#include "dialog_template.h"
#include "download.h"
#include "download_dialog.h"
#include "download_state.h"
#include "firmware_locator.h"
#include "scratch_dir.h"
#include "seeded_image.h"
#include "virtual_unit.h"

namespace {

using romlift::bench::Clock;

class TimedDialog final : public romlift::CDownloadDlg {
  public:
    using CDownloadDlg::CDownloadDlg;
    void PaintProgress(int x) override {
        CDownloadDlg::PaintProgress(x);
        paints.push_back(Clock::now());
    }
    std::vector<Clock::time_point> paints;
};

}  // namespace

int main(int argc, char** argv) {
    size_t size = 16 * 1024;
    bool direct = false;
    CLI::App options{"One transfer through the Download dialog: bar paint period and process CPU",
                     "dialog_bench"};
    options.add_option("--size", size, "image size in bytes")
        ->check(romlift::bench::Decimal())
        ->check(CLI::Range(size_t{1}, size_t{UINT32_MAX}));
    options.add_flag("--direct", direct,
                     "run the attempt on the GUI thread, as the dialog did before its own thread");
    if (const auto status = romlift::bench::ParseOptions(options, argc, argv)) {
        return *status;
    }
    if (getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);

    const romlift::testing::ScratchDir dir("romlift-dialog-bench");
    mkdir((dir.Path() / "drivers").c_str(), 0700);
    if (dir.Write("drivers/PLQ5A_bench.abs", romlift::testing::SeededImage(size)).empty()) {
        std::fprintf(stderr, "cannot write the image under %s\n", dir.Path().c_str());
        return 1;
    }

    vx7r::UnitOptions o;
    o.pace = false;
    vx7r::VirtualUnit unit(o);
    std::string error;
    if (!unit.Start(&error)) {
        std::fprintf(stderr, "cannot start the virtual unit: %s\n", error.c_str());
        return 1;
    }
    setenv("XDG_STATE_HOME", dir.Path().c_str(), 1);  // the download record stays with the bench

    romlift::DownloadState state;
    state.comDevice = {1, unit.DevicePath(), {}};
    const romlift::LocateOptions where{dir.Path(), {}};
    TimedDialog dlg(state, where);
    dlg.show();
    QApplication::processEvents();

    const auto attempt = [&](romlift::DownloadHost& host) {
        romlift::DoDownload(state, host, [&](romlift::DownloadState& s, romlift::DownloadHost& h) {
            return romlift::FirmwareHelper::LocateFirmware(s, h, where);
        });
    };
    const double cpu0 = romlift::bench::CpuSeconds(RUSAGE_SELF);
    const auto t0 = Clock::now();
    if (direct) {
        attempt(dlg);
    } else {
        romlift::RunAttempt(dlg, attempt);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = romlift::bench::CpuSeconds(RUSAGE_SELF) - cpu0;

    const std::vector<double> periods = romlift::bench::PeriodsMs(dlg.paints);
    const double median = romlift::bench::Percentile(periods, 50);
    const double p99 = romlift::bench::Percentile(periods, 99);
    const QString status =
        romlift::dialog::Find<QLabel>(dlg, romlift::CDownloadDlg::kStatus)->text();
    std::printf(
        "%s: %zu bytes, %zu bar paints; median paint period %.3f ms (99th %.3f ms); "
        "whole attempt %.2f s; process CPU %.3f s = %.2f%%; status \"%s\"\n",
        direct ? "attempt on the GUI thread (before)" : "attempt on its own thread (after)", size,
        dlg.paints.size(), median, p99, wall, cpu, 100.0 * cpu / wall,
        qPrintable(status.simplified()));
    return status.startsWith("DownLoad is Completed") ? 0 : 1;
}
