// One transfer through the Download dialog (offscreen), as the window program runs it, against the
// virtual unit without line pacing: the period between bar paints as the GUI thread carries them
// out, and the CPU time of the whole process (engine and GUI threads) as a share of wall time.
//   dialog_bench [--size BYTES] [--direct]
// --direct runs the attempt on the GUI thread with the dialog as the engine's host, as the dialog
// did before its attempts got a thread of their own; without it, the dialog's own RunAttempt.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QLabel>

#include "attempt_thread.h"
#include "dialog_template.h"
#include "download.h"
#include "download_dialog.h"
#include "download_state.h"
#include "firmware_locator.h"
#include "virtual_unit.h"

namespace {

using Clock = std::chrono::steady_clock;

class TimedDialog final : public romlift::CDownloadDlg {
  public:
    using CDownloadDlg::CDownloadDlg;
    void PaintProgress(int x) override {
        CDownloadDlg::PaintProgress(x);
        paints.push_back(Clock::now());
    }
    std::vector<Clock::time_point> paints;
};

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

}  // namespace

int main(int argc, char** argv) {
    size_t size = 16 * 1024;
    bool direct = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--direct") == 0) {
            direct = true;
        } else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
            size = std::strtoul(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: dialog_bench [--size BYTES] [--direct]\n");
            return 2;
        }
    }
    if (getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);

    char dir[] = "/tmp/romlift-dialog-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string drivers = std::string(dir) + "/drivers";
    mkdir(drivers.c_str(), 0700);
    const std::string image = drivers + "/PLQ5A_bench.abs";
    {
        std::vector<char> bytes(size);
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>((i * 131 + 7) & 0xFF);
        }
        std::ofstream(image, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(size));
    }

    vx7r::UnitOptions o;
    o.pace = false;
    vx7r::VirtualUnit unit(o);
    std::string error;
    if (!unit.Start(&error)) {
        std::fprintf(stderr, "cannot start the virtual unit: %s\n", error.c_str());
        return 1;
    }
    setenv("ROMLIFT_COM1", unit.DevicePath().c_str(), 1);
    setenv("XDG_STATE_HOME", dir, 1);  // the download record stays with the bench

    romlift::DownloadState state;
    const romlift::LocateOptions where{dir, {}};
    TimedDialog dlg(state, where);
    dlg.show();
    QApplication::processEvents();

    const auto attempt = [&](romlift::DownloadHost& host) {
        romlift::DoDownload(state, host, [&](romlift::DownloadState& s, romlift::DownloadHost& h) {
            return romlift::FirmwareHelper::LocateFirmware(s, h, where);
        });
    };
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    if (direct) {
        attempt(dlg);
    } else {
        romlift::RunAttempt(dlg, attempt);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = ProcessCpuSeconds() - cpu0;

    std::vector<double> periods;
    for (size_t i = 1; i < dlg.paints.size(); ++i) {
        periods.push_back(
            std::chrono::duration<double, std::milli>(dlg.paints[i] - dlg.paints[i - 1]).count());
    }
    std::sort(periods.begin(), periods.end());
    const double median = periods.empty() ? 0 : periods[periods.size() / 2];
    const double p99 = periods.empty() ? 0 : periods[periods.size() * 99 / 100];
    const QString status = romlift::dialog::Find<QLabel>(dlg, romlift::CDownloadDlg::kStatus)->text();
    std::printf("%s: %zu bytes, %zu bar paints; median paint period %.3f ms (99th %.3f ms); "
                "whole attempt %.2f s; process CPU %.3f s = %.2f%%; status \"%s\"\n",
                direct ? "attempt on the GUI thread (before)" : "attempt on its own thread (after)",
                size, dlg.paints.size(), median, p99, wall, cpu, 100.0 * cpu / wall,
                qPrintable(status.simplified()));
    std::remove(image.c_str());
    rmdir(drivers.c_str());
    rmdir(dir);
    return status.startsWith("DownLoad is Completed") ? 0 : 1;
}
