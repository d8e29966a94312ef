// What keeping the record adds to one attempt: opening the record, writing one row (one
// transaction each), on the station's SQLite file and on a PostgreSQL server over its Unix
// socket. Without --pg URI a throw-away server is started when Debian's binaries are there.
//   record_bench [--rows N] [--pg URI]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench_options.h"
#include "bench_timing.h"
#include "download_state.h"
#include "image_digest.h"
#include "pg_server.h"
#include "record_sink.h"
#include "row_capture.h"
#include "scratch_dir.h"
#include "utc_time.h"

namespace {

using namespace romlift::record;
using romlift::bench::Clock;
using romlift::bench::Percentile;

DownloadRow SampleRow() {
    DownloadRow r;
    r.rowKey = NewRowKey();
    r.startedUtc = FormatUtc(std::chrono::system_clock::now());
    r.endedUtc = r.startedUtc;
    r.durationMs = 61234;
    r.host = "bench";
    r.user = "bench";
    r.program = "romlift-cli";
    r.version = "1.0.1";
    r.port = "COM1";
    r.device = "/dev/ttyUSB0";
    r.adapter = "0403:6001 serial A50285BI";
    r.model = "VX7R";
    r.typeCode = 10;
    r.imagePath = "/srv/fw/PLQ5A_1.abs";
    r.imageSize = 1048576;
    r.imageSha256 = std::string(64, 'a');
    r.imageXor = 0x5A;
    r.framesConfirmed = 20972;
    r.framesTotal = 20972;
    r.outcome = Outcome::Confirmed;
    r.statusText = "Download completed";
    r.station = "bench";
    r.operatorName = "bench";
    return r;
}

// Runs `step` `n` times and prints the median and 95th percentile in milliseconds.
void Measure(const char* what, int n, const std::function<bool()>& step) {
    std::vector<double> ms;
    for (int i = 0; i < n; ++i) {
        const auto t0 = Clock::now();
        if (!step()) {
            std::printf("%-44s failed\n", what);
            return;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::printf("%-44s median %7.3f ms   p95 %7.3f ms   (%d runs)\n", what, Percentile(ms, 50),
                Percentile(ms, 95), n);
}

void Bench(const char* name, const std::string& target, int rows) {
    std::string error;
    const std::string open = std::string(name) + ": open (connect, check table)";
    Measure(open.c_str(), std::max(rows / 10, 5),
            [&] { return OpenRecordSink(target, &error) != nullptr; });
    auto sink = OpenRecordSink(target, &error);
    if (sink == nullptr) {
        std::printf("%s: %s\n", name, error.c_str());
        return;
    }
    // What an attempt waits before its first byte: its row written as unfinished.
    std::vector<DownloadRow> started;
    const std::string start = std::string(name) + ": start row (before the first byte)";
    Measure(start.c_str(), rows, [&] {
        DownloadRow r = SampleRow();
        r.outcome = Outcome::Unfinished;
        r.endedUtc.clear();
        const bool ok = sink->Start(r, &error);
        started.push_back(r);
        return ok;
    });
    size_t next = 0;
    const std::string complete = std::string(name) + ": complete the row";
    Measure(complete.c_str(), rows, [&] {
        DownloadRow r = started[next++ % started.size()];
        r.outcome = Outcome::Confirmed;
        r.endedUtc = r.startedUtc;
        std::string notice;
        return sink->Complete(r, &notice, &error);
    });
}

}  // namespace

int main(int argc, char** argv) {
    int rows = 500;
    std::string pg;
    CLI::App app{"What keeping the record adds to one attempt: open, one row, SHA-256",
                 "record_bench"};
    app.add_option("--rows", rows, "rows written to each record")
        ->check(romlift::bench::Decimal())
        ->check(CLI::Range(1, 1000000));
    app.add_option("--pg", pg, "a PostgreSQL server's URI (else a throw-away one is started)");
    if (const auto status = romlift::bench::ParseOptions(app, argc, argv)) {
        return *status;
    }
    romlift::testing::ScratchDir dir;
    Bench("SQLite", (dir.Path() / "history.sqlite").string(), rows);

    std::vector<uint8_t> mb(1 << 20, 0x5A);
    Measure("SHA-256 of a 1 MiB image", 20, [&] {
        Sha256 sha;
        sha.Update(mb.data(), mb.size());
        return sha.FinishHex().size() == 64;
    });
    // A row from a state whose frames all went out: the digest is fed whole, sysfs read once.
    romlift::DownloadState state;
    state.imageFileName = dir.Write("PLQ5A_1.abs", mb);
    state.openedDevice = "/dev/ttyUSB0";
    AttemptContext context;
    AttemptTimer timer;
    context.timer = &timer;
    Measure("hash 1 MiB as frames go, then fill the row", 20, [&] {
        ImageDigest digest;
        digest.ImageRead(mb.data(), mb.size());
        return CaptureRow(state, context, &digest).imageSha256.size() == 64;
    });

    std::unique_ptr<romlift::testing::PgServer> server;
    if (pg.empty() && !romlift::testing::PgServer::FindBin().empty()) {
        server = std::make_unique<romlift::testing::PgServer>(true);
        std::string why;
        if (!server->Start(&why)) {
            std::printf("PostgreSQL: %s\n", why.c_str());
            return 1;
        }
        pg = server->Uri();
    }
    if (pg.empty()) {
        std::printf("PostgreSQL: no server (give --pg URI)\n");
        return 0;
    }
    Bench("PostgreSQL", pg, rows);
    return 0;
}
