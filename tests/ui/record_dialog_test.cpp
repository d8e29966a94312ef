// The Download dialog's attempts in the download record, driven through the widgets against a
// virtual unit on a pseudo-terminal.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "dialog_template.h"
#include "download_dialog.h"
#include "download_state.h"
#include "file_select_dialog.h"
#include "interrupt.h"
#include "scratch_dir.h"
#include "sqlite_record.h"
#include "texts.h"
#include "ui_test_support.h"
#include "version.h"
#include "virtual_unit.h"

namespace romlift {
namespace {

std::vector<record::DownloadRow> Rows(const std::filesystem::path& file) {
    record::SqliteRecord r;
    std::vector<record::DownloadRow> rows;
    std::string error;
    if (!r.Open(file, record::SqliteRecord::Access::Read, false, &error) ||
        !r.Query({}, &rows, &error)) {
        qWarning("%s", error.c_str());
    }
    return rows;
}

std::string FileBytes(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

class RecordDialogTest : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        folder_ = std::make_unique<ui_testing::ProgramFolder>();
        unit_ = std::make_unique<vx7r::VirtualUnit>();
        std::string error;
        QVERIFY2(unit_->Start(&error), error.c_str());
        setenv("ROMLIFT_COM1", unit_->DevicePath().c_str(), 1);
        file_ = scratch_.Path() / "station.sqlite";
        setenv("ROMLIFT_RECORD", file_.c_str(), 1);
        setenv("ROMLIFT_STATION", "bench 4", 1);
        setenv("ROMLIFT_OPERATOR", "kim", 1);
    }
    void cleanup() {
        for (const char* name : {"ROMLIFT_COM1", "ROMLIFT_RECORD", "ROMLIFT_STATION",
                                 "ROMLIFT_OPERATOR", "ROMLIFT_POLICY"}) {
            unsetenv(name);
        }
        std::filesystem::remove(file_);
        unit_.reset();
        folder_.reset();
    }

    void attemptRecordedAsTheDialogShowedIt() {
        const ui_testing::Bytes image = folder_->AddFirmware("PLQ5A-2.abs", 700);
        DownloadState state;
        CDownloadDlg dlg(state, {folder_->Path(), {}});
        ui_testing::ShowAndWait(dlg);
        ui_testing::Press(dlg, CDownloadDlg::kDownload);
        QCOMPARE(dialog::Find<QLabel>(dlg, CDownloadDlg::kStatus)->text(),
                 QString::fromUtf8(texts::kCompleted.data()));

        const auto rows = Rows(file_);
        QCOMPARE(rows.size(), size_t{1});
        const record::DownloadRow& r = rows[0];
        QCOMPARE(r.program, std::string("romlift"));
        QCOMPARE(r.version, std::string(version::kProduct));
        QCOMPARE(r.port, std::string("COM1"));
        QCOMPARE(r.device, unit_->DevicePath());
        QCOMPARE(r.model, std::string("VX7R-KT-121B-XXX"));
        QCOMPARE(r.imagePath, (folder_->Drivers() / "PLQ5A-2.abs").string());
        QCOMPARE(r.imageSize, int64_t{700});
        const QByteArray bytes(reinterpret_cast<const char*>(image.data()),
                               static_cast<qsizetype>(image.size()));
        QCOMPARE(r.imageSha256,
                 QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString());
        QCOMPARE(r.framesConfirmed, int64_t{14});
        QCOMPARE(r.framesTotal, int64_t{14});
        QCOMPARE(r.outcome, record::Outcome::Confirmed);
        QCOMPARE(r.statusText, std::string(texts::kCompleted));
        QCOMPARE(r.station, std::string("bench 4"));
        QCOMPARE(r.operatorName, std::string("kim"));
    }

    // A cancelled choice is no attempt. A named record that is not one is left as it was, and
    // the unit gets nothing until the record can take the row.
    void cancelledChoiceLeavesNoRowAndABadRecordSendsNothing() {
        folder_->AddFirmware("PLQ5A-1.abs", 100);
        folder_->AddFirmware("PLQ5A-2.abs", 120);
        DownloadState state;
        CDownloadDlg dlg(state, {folder_->Path(), {}}, ui_testing::EscapeTheChoice());
        ui_testing::Press(dlg, CDownloadDlg::kDownload);
        QCOMPARE(state.cancel, 1);
        QVERIFY(!std::filesystem::exists(file_));

        const std::string garbage(4096, '\x42');
        std::ofstream(file_, std::ios::binary) << garbage;
        std::filesystem::remove(folder_->Drivers() / "PLQ5A-1.abs");
        ui_testing::Press(dlg, CDownloadDlg::kDownload);
        const QLabel* status = dialog::Find<QLabel>(dlg, CDownloadDlg::kStatus);
        QCOMPARE(status->text(), QString::fromUtf8(texts::kCannotWriteRecord.data()));
        const QString advice = dlg.AdviceLine()->text();
        QVERIFY2(advice.contains("not a romlift record"), qPrintable(advice));
        QCOMPARE(FileBytes(file_), garbage);

        std::filesystem::remove(file_);
        ui_testing::Press(dlg, CDownloadDlg::kDownload);
        QCOMPARE(status->text(), QString::fromUtf8(texts::kCompleted.data()));
        QVERIFY(unit_->WaitForAttempts(1, 10000));
        // The refused attempt never woke the unit: its first attempt is the confirmed one.
        QCOMPARE(unit_->Attempts().size(), size_t{1});
        QVERIFY(unit_->Attempts()[0].confirmed);
        QCOMPARE(Rows(file_).size(), size_t{1});
    }

    // SIGTERM (a session ending) or Ctrl-C in the middle: the attempt stops at once, its row says
    // how far the unit got, the dialog closes, the port is free again and the signal's own
    // disposition is back for the program to end by.
    void signalMidTransferIsRecordedAsInterrupted() {
        folder_->AddFirmware("PLQ5A-2.abs", 2000);  // 40 frames
        struct SignalledDialog : CDownloadDlg {
            using CDownloadDlg::CDownloadDlg;
            void PaintProgress(int x) override {
                CDownloadDlg::PaintProgress(x);
                if (++paints == 5) {
                    ::kill(::getpid(), SIGTERM);
                }
            }
            int paints = 0;
        };
        DownloadState state;
        SignalledDialog dlg(state, {folder_->Path(), {}});
        struct sigaction before {};
        ::sigaction(SIGTERM, nullptr, &before);
        ui_testing::ShowAndWait(dlg);
        ui_testing::Press(dlg, CDownloadDlg::kDownload);
        QCOMPARE(dlg.InterruptedBy(), SIGTERM);
        QVERIFY(!dlg.isVisible());

        const auto rows = Rows(file_);
        QCOMPARE(rows.size(), size_t{1});
        QCOMPARE(rows[0].outcome, record::Outcome::Interrupted);
        QCOMPARE(rows[0].framesTotal, int64_t{40});
        QVERIFY2(rows[0].framesConfirmed >= 4 && rows[0].framesConfirmed < 40,
                 std::to_string(rows[0].framesConfirmed).c_str());
        struct sigaction now {};
        ::sigaction(SIGTERM, nullptr, &now);
        QVERIFY(now.sa_handler == before.sa_handler);

        DownloadState again;
        CDownloadDlg next(again, {folder_->Path(), {}});
        ui_testing::Press(next, CDownloadDlg::kDownload);
        QCOMPARE(dialog::Find<QLabel>(next, CDownloadDlg::kStatus)->text(),
                 QString::fromUtf8(texts::kCompleted.data()));
        QCOMPARE(next.InterruptedBy(), 0);
        // The unit ends the attempt cut short at the next wake-up.
        QVERIFY(unit_->WaitForAttempts(2, 10000));
        QVERIFY(!unit_->Attempts()[0].confirmed);
        QVERIFY(unit_->Attempts()[1].confirmed);
    }

    // Escape in the middle asks; S stops within a second. The row says interrupted and how far
    // the unit got, the dialog stays open with its status, the advice line says where the unit
    // was left.
    void stopInTheQuestionRecordsInterruptedAndStaysOpen() {
        folder_->AddFirmware("PLQ5A-2.abs", 2000);  // 40 frames
        struct StoppedDialog : CDownloadDlg {
            using CDownloadDlg::CDownloadDlg;
            void PaintProgress(int x) override {
                CDownloadDlg::PaintProgress(x);
                if (++paints == 3) {
                    QCoreApplication::postEvent(
                        windowHandle(),
                        new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
                } else if (StopQuestion() != nullptr && !stopped.isValid()) {
                    QTest::keyClick(StopQuestion(), Qt::Key_S);
                    stopped.start();
                }
            }
            int paints = 0;
            QElapsedTimer stopped;
        };
        DownloadState state;
        StoppedDialog dlg(state, {folder_->Path(), {}});
        ui_testing::ShowAndWait(dlg);
        ui_testing::Press(dlg, CDownloadDlg::kDownload);
        QVERIFY(dlg.stopped.isValid());
        QVERIFY2(dlg.stopped.elapsed() < 1000, std::to_string(dlg.stopped.elapsed()).c_str());
        QVERIFY(dlg.isVisible());
        QCOMPARE(dlg.InterruptedBy(), 0);

        const auto rows = Rows(file_);
        QCOMPARE(rows.size(), size_t{1});
        QCOMPARE(rows[0].outcome, record::Outcome::Interrupted);
        QVERIFY2(rows[0].framesConfirmed >= 2 && rows[0].framesConfirmed < 40,
                 std::to_string(rows[0].framesConfirmed).c_str());
        QCOMPARE(dialog::Find<QLabel>(dlg, CDownloadDlg::kStatus)->text(),
                 QString::fromStdString(rows[0].statusText));
        QCOMPARE(dlg.AdviceLine()->text(),
                 QString::fromStdString(
                     "COM1 " + InterruptedAt(static_cast<int>(rows[0].framesConfirmed + 1), 40)));
    }

    // A signal while the file is being chosen cancels the choice: no attempt, no row, nothing
    // sent, and the program is still asked to end.
    void signalDuringTheChoiceCancelsIt() {
        folder_->AddFirmware("PLQ5A-1.abs", 100);
        folder_->AddFirmware("PLQ5A-2.abs", 120);
        DownloadPrompts prompts;
        prompts.fileSelect = [](CFileSelectDlg& select) {
            select.show();
            ::kill(::getpid(), SIGINT);
            return QTest::qWaitFor([&] { return !select.isVisible(); }, 5000) ? select.result()
                                                                              : -1;
        };
        DownloadState state;
        CDownloadDlg dlg(state, {folder_->Path(), {}}, prompts);
        ui_testing::Press(dlg, CDownloadDlg::kDownload);
        QCOMPARE(state.cancel, 1);
        QCOMPARE(dlg.InterruptedBy(), SIGINT);
        QVERIFY(!std::filesystem::exists(file_));
        QVERIFY(unit_->Attempts().empty());
    }

    // A station that requires released images and serial numbers: the serial is asked before
    // anything opens (Cancel sends nothing), an image no signed list releases is refused with
    // the reason on the advice line, and once the administrator has signed the folder with openssl
    // it goes out, its row naming the unit, the list and the key.
    void releasePolicyAsksTheSerialAndRefusesAnUnreleasedImage() {
        const ui_testing::Bytes image = folder_->AddFirmware("PLQ5A-2.abs", 700);
        const std::string key = (scratch_.Path() / "admin.pem").string();
        const std::filesystem::path keys = scratch_.Path() / "keys";
        std::filesystem::create_directory(keys);
        QCOMPARE(Shell("openssl genpkey -algorithm ed25519 -out " + key + " && openssl pkey -in " +
                       key + " -pubout -out " + (keys / "admin.pem").string()),
                 0);
        const std::filesystem::path policy = scratch_.Path() / "policy.conf";
        std::ofstream(policy) << "require_release = yes\nrelease_keys = " << keys.string()
                              << "\nrequire_unit_serial = yes\n";
        setenv("ROMLIFT_POLICY", policy.c_str(), 1);

        // First the technician cancels the question; then the scanner types the number and
        // presses Enter.
        QStringList asked;
        DownloadPrompts prompts;
        prompts.unitSerial = [&](QInputDialog& question) {
            asked << question.labelText();
            if (asked.size() == 1) {
                return int{QDialog::Rejected};
            }
            question.show();
            auto* line = question.findChild<QLineEdit*>();
            QTest::keyClicks(line, "SN-0077");
            QTest::keyClick(line, Qt::Key_Return);
            return question.result();
        };
        DownloadState state;
        CDownloadDlg dlg(state, {folder_->Path(), {}}, prompts);
        ui_testing::Press(dlg, CDownloadDlg::kDownload);
        QCOMPARE(asked, QStringList{QStringLiteral("Serial number of the unit:")});
        QVERIFY(!std::filesystem::exists(file_));

        ui_testing::Press(dlg, CDownloadDlg::kDownload);
        const QLabel* status = dialog::Find<QLabel>(dlg, CDownloadDlg::kStatus);
        QCOMPARE(status->text(), QString::fromUtf8(texts::kCannotOpenFile.data()));
        QVERIFY2(dlg.AdviceLine()->text().contains("no release list"),
                 qPrintable(dlg.AdviceLine()->text()));
        auto rows = Rows(file_);
        QCOMPARE(rows.size(), size_t{1});
        QCOMPARE(rows[0].endedAt, std::string("image"));
        QCOMPARE(rows[0].unitSerial, std::string("SN-0077"));

        const std::string drivers = folder_->Drivers().string();
        QCOMPARE(Shell("cd " + drivers + " && sha256sum PLQ5A-2.abs > SHA256SUMS && " +
                       "openssl pkeyutl -sign -rawin -inkey " + key +
                       " -in SHA256SUMS -out SHA256SUMS.sig && openssl pkey -pubin -in " +
                       (keys / "admin.pem").string() +
                       " -outform DER | tail -c 32 | sha256sum | cut -c1-16 >" +
                       (scratch_.Path() / "key-id").string()),
                 0);
        ui_testing::Press(dlg, CDownloadDlg::kDownload);
        QCOMPARE(status->text(), QString::fromUtf8(texts::kCompleted.data()));
        QVERIFY(unit_->WaitForAttempts(1, 10000));
        QCOMPARE(unit_->Attempts().size(), size_t{1});  // the refused image never woke it
        QCOMPARE(unit_->Attempts()[0].image, image);
        rows = Rows(file_);
        QCOMPARE(rows.size(), size_t{2});
        const record::DownloadRow& sent =
            rows[0].outcome == record::Outcome::Confirmed ? rows[0] : rows[1];
        QCOMPARE(sent.unitSerial, std::string("SN-0077"));
        const QByteArray list =
            QByteArray::fromStdString(FileBytes(folder_->Drivers() / "SHA256SUMS"));
        QCOMPARE(sent.releaseListSha256,
                 QCryptographicHash::hash(list, QCryptographicHash::Sha256).toHex().toStdString());
        QCOMPARE(sent.releaseKey + "\n", FileBytes(scratch_.Path() / "key-id"));
    }

  private:
    static int Shell(const std::string& command) { return std::system(command.c_str()); }

    testing::ScratchDir scratch_;
    std::filesystem::path file_;
    std::unique_ptr<ui_testing::ProgramFolder> folder_;
    std::unique_ptr<vx7r::VirtualUnit> unit_;
};

}  // namespace
}  // namespace romlift

int RunRecordDialogTests(int argc, char** argv) {
    romlift::RecordDialogTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "record_dialog_test.moc"
