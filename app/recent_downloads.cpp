#include "recent_downloads.h"

#include <atomic>
#include <chrono>
#include <filesystem>

#include <QDateTime>
#include <QHeaderView>

#include "interrupt.h"
#include "pg_record.h"
#include "policy.h"
#include "record_sink.h"
#include "row_table.h"

namespace romlift {
namespace {

constexpr auto kServerWait = std::chrono::milliseconds(5000);

QString Text(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Where the Download dialog writes its rows: the station's policy, ROMLIFT_RECORD, or the
// station's own file. False with the reason when there is none to read.
bool RecordToRead(std::string* target, std::string* why) {
    record::Policy policy;
    if (!record::LoadPolicy(record::PolicyPath(), &policy, why)) {
        return false;
    }
    const auto choice =
        record::ChooseRecord(policy, "", record::RecordFromEnvironment(), false, false, why);
    if (!choice) {
        return false;
    }
    if (choice->none) {
        *why = "no download record is kept on this station";
        return false;
    }
    *target = choice->target;
    return true;
}

QString LocalTime(const std::string& utc) {
    const QDateTime t = QDateTime::fromString(Text(utc), Qt::ISODateWithMs);
    return t.isValid() ? t.toLocalTime().toString("yyyy-MM-dd HH:mm:ss") : Text(utc);
}

QString OutcomeText(const record::DownloadRow& row) {
    QString text = QString::fromUtf8(record::OutcomeName(row.outcome));
    if (row.outcome != record::Outcome::Confirmed && row.framesTotal > 0) {
        text += QStringLiteral(", %1 of %2 frames").arg(row.framesConfirmed).arg(row.framesTotal);
    }
    return text;
}

}  // namespace

// Shared by the window and its reading thread, which may outlive the window.
struct RecentDownloads::Read {
    Interrupt stop;  // the window went: give up waiting on a server
    std::atomic<bool> over{false};
    bool ok = false;
    std::vector<record::DownloadRow> rows;
    std::string error;

    void Run() {
        record::HistoryFilter newest;
        newest.limit = kRows;
        std::string target;
        ok = RecordToRead(&target, &error);
        if (ok && record::IsServerUri(target)) {
            record::PgRecord server;
            server.SetWait(record::PgWait{kServerWait, stop.Fd()});
            ok = server.Connect(target, &error) && server.Query(newest, &rows, &error);
        } else if (ok) {
            std::error_code ec;
            // A station that has recorded nothing yet has no file yet.
            const std::filesystem::path file =
                target.empty() ? record::DefaultRecordPath() : std::filesystem::path(target);
            if (std::filesystem::exists(file, ec)) {
                ok = record::ReadHistory(target, newest, &rows, &error);
            }
        }
        over = true;
    }
};

RecentDownloads::RecentDownloads(QWidget* parent) : QTreeWidget(parent) {
    setObjectName("downloads");
    SetUpRowTable(*this, {{"Time", "2026-12-09 10:50:54"},
                          {"Port", "/dev/ttyUSB10"},
                          {"Model", "VX7R-KT-121B-XXX"},
                          {"Image", "PLQ5A_v2_release.abs"},
                          {"Outcome", ""}});

    connect(&collect_, &QTimer::timeout, this, &RecentDownloads::Collect);
    auto* reload = new QTimer(this);
    connect(reload, &QTimer::timeout, this, &RecentDownloads::Reload);
    reload->start(kReloadMs);
    Reload();
}

RecentDownloads::~RecentDownloads() {
    if (!worker_.joinable()) {
        return;
    }
    if (!read_->over) {
        read_->stop.Request(SIGTERM);
        // A server's connect does not listen for the stop: give it a moment, then let it be.
        for (int i = 0; i < 20 && !read_->over; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (read_->over) {
        worker_.join();
    } else {
        worker_.detach();  // it holds its own share of `read_`
    }
}

bool RecentDownloads::Reading() const {
    return read_ != nullptr && !read_->over;
}

void RecentDownloads::Reload() {
    if (Reading()) {
        return;
    }
    if (worker_.joinable()) {
        worker_.join();  // over already
    }
    read_ = std::make_shared<Read>();
    worker_ = std::thread([read = read_] { read->Run(); });
    collect_.start(50);
}

void RecentDownloads::Collect() {
    if (Reading()) {
        return;
    }
    collect_.stop();
    worker_.join();
    if (read_->ok) {
        Show(read_->rows);
        emit Problem(QString());
    } else {
        emit Problem(Text(read_->error));
    }
    emit Loaded();
}

void RecentDownloads::Show(const std::vector<record::DownloadRow>& rows) {
    if (rows == shown_) {
        return;
    }
    shown_ = rows;
    clear();
    for (const record::DownloadRow& row : rows) {
        const std::filesystem::path image(row.imagePath);
        auto* item =
            new QTreeWidgetItem(this, {LocalTime(row.startedUtc), Text(row.port), Text(row.model),
                                       Text(image.filename().string()), OutcomeText(row)});
        item->setToolTip(kImage, Text(row.imagePath));
        item->setToolTip(kOutcome, Text(row.statusText));
    }
}

}  // namespace romlift
