// The Download dialog driven through its widgets, against a virtual unit on a pseudo-terminal.
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTreeWidget>

#include "dialog_template.h"
#include "download_dialog.h"
#include "download_state.h"
#include "file_select_dialog.h"
#include "progress_area.h"
#include "recording_host.h"
#include "ui_test_support.h"
#include "virtual_unit.h"

namespace romlift {
namespace {

using ui_testing::Bytes;
using ui_testing::InnerPixels;
using ui_testing::Press;
using ui_testing::ShowAndWait;

const QColor kBarFill(128, 0, 0);

QString Downloading(const QString& name) {
    return "Downloading file " + name +
           " to selected unit.\nThis takes a long time, please wait...";
}

// True when what the window system holds for `w` is what `w` would paint now: the engine blocks
// the event loop, so anything left to a later update() would not be on the screen yet.
bool OnScreen(QWidget& w) {
    const QRect r(w.mapTo(w.window(), QPoint(0, 0)), w.size());
    const QImage screen =
        w.screen()->grabWindow(w.window()->winId(), r.x(), r.y(), r.width(), r.height()).toImage();
    return screen.convertToFormat(QImage::Format_RGB32) ==
           w.window()->grab(r).toImage().convertToFormat(QImage::Format_RGB32);
}

// Notes what the widgets showed each time the engine set the status or painted the bar.
class WatchedDialog : public CDownloadDlg {
  public:
    using CDownloadDlg::CDownloadDlg;

    void SetStatus(std::string_view text) override {
        CDownloadDlg::SetStatus(text);
        auto* status = dialog::Find<QLabel>(*this, kStatus);
        shown.push_back(status->text());
        allOnScreen = allOnScreen && OnScreen(*status);
        downloadEnabled.push_back(dialog::Find<QPushButton>(*this, kDownload)->isEnabled());
        if (duringAttempt && shown.size() == 1) {
            duringAttempt();
        }
    }
    void PaintProgress(int x) override {
        CDownloadDlg::PaintProgress(x);
        ++paints;
        allOnScreen = allOnScreen && OnScreen(*dialog::Find<QWidget>(*this, kProgress));
    }

    // Runs once, when the attempt has shown its first text.
    std::function<void()> duringAttempt;
    QStringList shown;
    std::vector<bool> downloadEnabled;
    int paints = 0;
    bool allOnScreen = true;
};

// Counts the message boxes that show while it lives.
struct QuestionsShown : QObject {
    QuestionsShown() { qApp->installEventFilter(this); }
    bool eventFilter(QObject* o, QEvent* e) override {
        count += e->type() == QEvent::Show && qobject_cast<QMessageBox*>(o) != nullptr;
        return false;
    }
    int count = 0;
};

// Clicks where the user would, through the window, so that whatever lies on top (the frames
// around the buttons) gets its say. The indicator is at the button's left edge.
void ClickRadio(QWidget& dlg, int id) {
    auto* radio = dialog::Find<QRadioButton>(dlg, id);
    const QPoint at = radio->mapTo(&dlg, QPoint(4, radio->height() / 2));
    QTest::mouseClick(dlg.windowHandle(), Qt::LeftButton, {}, at);
}

}  // namespace

class DownloadDialogTest : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        folder_ = std::make_unique<ui_testing::ProgramFolder>();
        state_ = std::make_unique<DownloadState>();
    }
    void cleanup() {
        unsetenv("ROMLIFT_COM2");
        state_.reset();  // with whatever port or image it still holds
        unit_.reset();
        folder_.reset();
    }

    void wholeDownloadThroughTheWidgets() {
        StartUnit();
        const Bytes image = folder_->AddFirmware("PLQ5B-7.abs", 537);
        WatchedDialog dlg(*state_, {folder_->Path(), {}});
        ShowAndWait(dlg);
        // The port (a pty) and the image; Qt opens descriptors of its own whenever it likes.
        const std::vector<std::string> ours = {
            "/dev/pts/", std::filesystem::canonical(folder_->Path()).string()};
        const int descriptors = testing::OpenDescriptorCountUnder(ours);

        dialog::Find<QComboBox>(dlg, 1029)->setCurrentIndex(1);
        ClickRadio(dlg, 1007);
        QCOMPARE(state_->selectedPort, 2);
        Press(dlg, CDownloadDlg::kDownload);

        QCOMPARE(dlg.shown,
                 (QStringList{Downloading("PLQ5B-7.abs"), "DownLoad is Completed Successfully"}));
        QCOMPARE(dlg.downloadEnabled, (std::vector<bool>{false, false}));
        QCOMPARE(dlg.paints, 10);  // frames 2..11 of 11
        QVERIFY(dlg.allOnScreen);
        QVERIFY(dialog::Find<QPushButton>(dlg, 1)->isEnabled());
        QCOMPARE(dlg.focusWidget(), dialog::Find<QWidget>(dlg, 1));  // Enter: the next unit
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QCOMPARE(testing::OpenDescriptorCountUnder(ours), descriptors);

        QVERIFY(unit_->WaitForAttempts(1, 10000));
        const auto attempts = unit_->Attempts();
        QCOMPARE(attempts.size(), size_t{1});
        QVERIFY(attempts[0].confirmed);
        QVERIFY(attempts[0].image == image);
        QVERIFY(unit_->Violations().empty());
    }

    // Two matches: the selection comes up while Download is off; the clicked file goes out.
    void chosenFileGoesToTheUnit() {
        StartUnit();
        const Bytes first = folder_->AddFirmware("PLQ5A-1.abs", 120, 1);
        folder_->AddFirmware("PLQ5A-2.abs", 130, 2);
        bool enabledDuringChoice = true;
        DownloadPrompts prompts;
        prompts.fileSelect = [&](CFileSelectDlg& select) {
            // Over the Download dialog, whose Download button it finds off.
            enabledDuringChoice = dialog::Find<QPushButton>(*select.parentWidget(), 1)->isEnabled();
            select.show();
            auto* list = dialog::Find<QTreeWidget>(select, 1028);
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                              list->visualItemRect(list->topLevelItem(0)).center());
            Press(select, CFileSelectDlg::kOk);
            return select.result();
        };
        WatchedDialog dlg(*state_, {folder_->Path(), {}}, prompts);
        ShowAndWait(dlg);
        ClickRadio(dlg, 1007);
        Press(dlg, CDownloadDlg::kDownload);

        QVERIFY(!enabledDuringChoice);
        QCOMPARE(dlg.shown.value(0), Downloading("PLQ5A-1.abs"));
        QCOMPARE(dlg.shown.value(1), QString("DownLoad is Completed Successfully"));
        QVERIFY(unit_->WaitForAttempts(1, 10000));
        QVERIFY(unit_->Attempts()[0].image == first);
    }

    void cancelledChoiceLeavesStatusAndBar() {
        folder_->AddFirmware("PLQ5A-1.abs", 10);
        folder_->AddFirmware("PLQ5A-2.abs", 10);
        WatchedDialog dlg(*state_, {folder_->Path(), {}}, ui_testing::EscapeTheChoice());
        ShowAndWait(dlg);
        dlg.SetStatus("Down Load Failed");
        state_->frameCounter = 4;
        dlg.PaintProgress(120);
        auto* area = dialog::Find<ProgressArea>(dlg, 1013);
        const QImage before = InnerPixels(*area);

        Press(dlg, CDownloadDlg::kDownload);

        QCOMPARE(state_->cancel, 1);
        QCOMPARE(dialog::Find<QLabel>(dlg, 1014)->text(), QString("Down Load Failed"));
        QCOMPARE(dlg.shown.size(), 1);  // only the test's own text
        QCOMPARE(InnerPixels(*area), before);
        QVERIFY(dialog::Find<QPushButton>(dlg, 1)->isEnabled());
    }

    // Enter presses Download as a click does: with nothing in drivers/ the attempt stops at the
    // missing image. Input during the attempt is dropped, not held: Escape works at once after it.
    void missingImageThenEscapeCloses_data() {
        QTest::addColumn<bool>("byEnter");
        QTest::newRow("Enter") << true;
        QTest::newRow("Download clicked") << false;
    }
    void missingImageThenEscapeCloses() {
        QFETCH(bool, byEnter);
        WatchedDialog dlg(*state_, {folder_->Path(), {}});
        ShowAndWait(dlg);
        if (byEnter) {
            QTest::keyClick(dialog::Find<QWidget>(dlg, 1029), Qt::Key_Return);
        } else {
            Press(dlg, CDownloadDlg::kDownload);
        }
        QCOMPARE(dlg.shown.value(1), QString("Download :Can not open file"));
        QCOMPARE(dlg.AdviceLine()->text(),
                 "no firmware image matches " +
                     QString::fromStdString((folder_->Drivers() / "PLQ5A*.abs").string()));
        QVERIFY(dlg.AdviceLine()->isVisible());
        QVERIFY(dlg.height() >
                dialog::Find<QWidget>(dlg, 1014)->geometry().bottom() + dlg.AdviceLine()->height());
        QVERIFY(dlg.isVisible());
        QCOMPARE(dlg.focusWidget(), dialog::Find<QWidget>(dlg, 1));
        QTest::keyClick(dialog::Find<QWidget>(dlg, 1), Qt::Key_Escape);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), 1);
    }

    // What the user types and clicks while the unit is written arrives in the event queue, as it
    // does from the window system; none of it may act when the attempt is over. Before, Escape
    // closed the dialog the instant the attempt ended, and the outcome was never seen. The
    // requests to close ask, once, whether to stop; unanswered, the question goes with the
    // attempt.
    void inputDuringAttemptIsDroppedAndClosingAsksOnce() {
        StartUnit();
        folder_->AddFirmware("PLQ5A-1.abs", 700);
        WatchedDialog dlg(*state_, {folder_->Path(), {}});
        ShowAndWait(dlg);
        ClickRadio(dlg, 1007);
        auto* download = dialog::Find<QPushButton>(dlg, 1);
        auto* close = dialog::Find<QPushButton>(dlg, 2);

        dlg.duringAttempt = [&] {
            const auto key = [](QObject* to, int k) {
                QCoreApplication::postEvent(to, new QKeyEvent(QEvent::KeyPress, k, Qt::NoModifier));
                QCoreApplication::postEvent(to,
                                            new QKeyEvent(QEvent::KeyRelease, k, Qt::NoModifier));
            };
            const auto click = [](QWidget* on) {
                const QPointF at = QRectF(on->rect()).center();
                const QPointF global = on->mapToGlobal(at);
                for (QEvent::Type t : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
                    QCoreApplication::postEvent(
                        on, new QMouseEvent(
                                t, at, global, Qt::LeftButton,
                                t == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                                Qt::NoModifier));
                }
            };
            key(close, Qt::Key_Escape);  // the focus is on Close
            key(&dlg, Qt::Key_Escape);
            key(close, Qt::Key_Return);
            click(close);
            click(download);
            QCoreApplication::postEvent(dlg.windowHandle(), new QCloseEvent);  // the close box
        };
        QuestionsShown questions;
        QTest::mouseClick(download, Qt::LeftButton);
        QCoreApplication::processEvents();  // anything still queued would act now

        QCOMPARE(questions.count, 1);
        QCOMPARE(dlg.StopQuestion(), nullptr);
        QVERIFY(dlg.AdviceLine()->text().isEmpty());
        QVERIFY(dlg.isVisible());
        QCOMPARE(dlg.result(), 0);  // not ended
        QCOMPARE(dlg.shown,
                 (QStringList{Downloading("PLQ5A-1.abs"), "DownLoad is Completed Successfully"}));
        QCOMPARE(dialog::Find<QLabel>(dlg, 1014)->text(),
                 QString("DownLoad is Completed Successfully"));
        QVERIFY(download->isEnabled());
        QCOMPARE(dlg.focusWidget(), download);
        QVERIFY(unit_->WaitForAttempts(1, 10000));
        QTest::qWait(200);  // a replayed Download would have started a second attempt by now
        QCOMPARE(unit_->Attempts().size(), size_t{1});
    }

    void closeWays_data() {
        QTest::addColumn<int>("way");
        QTest::newRow("Close button") << 0;
        QTest::newRow("Escape") << 1;
        QTest::newRow("close box") << 2;
    }
    void closeWays() {
        QFETCH(int, way);
        CDownloadDlg dlg(*state_, {folder_->Path(), {}});
        ShowAndWait(dlg);
        if (way == 0) {
            Press(dlg, CDownloadDlg::kClose);
        } else if (way == 1) {
            QTest::keyClick(dialog::Find<QWidget>(dlg, 1029), Qt::Key_Escape);
        } else {
            dlg.close();
        }
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), 1);
    }

    void freshDialogStartsAtCom1AndFirstModel() {
        state_->selectedPort = 3;
        state_->modelPrefix = "127";
        state_->unitTypeCode = 14;
        CDownloadDlg dlg(*state_, {folder_->Path(), {}});
        QCOMPARE(state_->selectedPort, 1);
        QCOMPARE(state_->modelPrefix, std::string("PLQ5A"));
        QCOMPARE(state_->unitTypeCode, 10u);
        QCOMPARE(dialog::Find<QComboBox>(dlg, 1029)->currentIndex(), 0);
        QCOMPARE(dialog::Find<QComboBox>(dlg, 1029)->count(), 6);
        QVERIFY(dialog::Find<QRadioButton>(dlg, 1006)->isChecked());
        QCOMPARE(dlg.focusWidget(), dialog::Find<QWidget>(dlg, 1029));
    }

    void noSelectionKeepsTheModel() {
        CDownloadDlg dlg(*state_, {folder_->Path(), {}});
        auto* models = dialog::Find<QComboBox>(dlg, 1029);
        models->setCurrentIndex(2);
        QCOMPARE(state_->modelPrefix, std::string("PLQ5C"));
        QCOMPARE(state_->unitTypeCode, 9u);
        models->setCurrentIndex(-1);
        QCOMPARE(state_->modelPrefix, std::string("PLQ5C"));
        QCOMPARE(state_->unitTypeCode, 9u);
    }

    void portButtons_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("port");
        QTest::newRow("COM3") << 1008 << 3;
        QTest::newRow("COM4") << 1009 << 4;
        QTest::newRow("COM2") << 1007 << 2;
    }
    void portButtons() {
        QFETCH(int, id);
        QFETCH(int, port);
        CDownloadDlg dlg(*state_, {folder_->Path(), {}});
        ShowAndWait(dlg);
        ClickRadio(dlg, id);
        QCOMPARE(state_->selectedPort, port);
        QVERIFY(!dialog::Find<QRadioButton>(dlg, 1006)->isChecked());
        ClickRadio(dlg, 1006);
        QCOMPARE(state_->selectedPort, 1);
    }

    // Alt+3 checks COM3 and gives it the focus; the arrow keys then move within the group.
    void portKeys() {
        CDownloadDlg dlg(*state_, {folder_->Path(), {}});
        ShowAndWait(dlg);
        QTest::keyClick(&dlg, Qt::Key_3, Qt::AltModifier);
        QCOMPARE(state_->selectedPort, 3);
        QVERIFY(dialog::Find<QRadioButton>(dlg, 1008)->isChecked());
        QTest::keyClick(dlg.focusWidget(), Qt::Key_Right);
        QCOMPARE(state_->selectedPort, 4);
        QTest::keyClick(dlg.focusWidget(), Qt::Key_Left);
        QTest::keyClick(dlg.focusWidget(), Qt::Key_Left);
        QCOMPARE(state_->selectedPort, 2);
        QVERIFY(dialog::Find<QRadioButton>(dlg, 1007)->isChecked());
    }

    void barPixels_data() {
        QTest::addColumn<int>("x");
        QTest::newRow("200") << 200;
        QTest::newRow("133") << 133;
        QTest::newRow("87") << 87;
    }
    void barPixels() {
        QFETCH(int, x);
        CDownloadDlg dlg(*state_, {folder_->Path(), {}});
        auto* area = dialog::Find<ProgressArea>(dlg, 1013);
        const QImage empty = InnerPixels(*area);
        QVERIFY(empty.width() > 100 && empty.height() > 10);
        state_->frameCounter = 5;
        dlg.PaintProgress(x);
        const QImage bar = InnerPixels(*area);
        QCOMPARE(bar.pixelColor(1, 1), QColor(Qt::black));
        QCOMPARE(bar.pixelColor(5, 5), kBarFill);
        QCOMPARE(bar.pixelColor(0, 5), empty.pixelColor(0, 5));
        if (x <= bar.width()) {
            QCOMPARE(bar.pixelColor(x - 1, 5), QColor(Qt::black));
            if (x < bar.width()) {
                QCOMPARE(bar.pixelColor(x, 5), empty.pixelColor(x, 5));
            }
        } else {
            // Cut off at the border, not wrapped or shrunk.
            QCOMPARE(bar.pixelColor(bar.width() - 1, 5), kBarFill);
        }
    }

    // Which host calls empty the bar: the end-of-attempt repaint and the clear before the first
    // frame; not the clear after the frames.
    void barErasing_data() {
        QTest::addColumn<bool>("invalidate");
        QTest::addColumn<int>("frame");
        QTest::addColumn<bool>("kept");
        QTest::newRow("InvalidateAll") << true << 9 << false;
        QTest::newRow("ClearProgress before frames") << false << 0 << false;
        QTest::newRow("ClearProgress after frames") << false << 9 << true;
    }
    void barErasing() {
        QFETCH(bool, invalidate);
        QFETCH(int, frame);
        QFETCH(bool, kept);
        CDownloadDlg dlg(*state_, {folder_->Path(), {}});
        auto* area = dialog::Find<ProgressArea>(dlg, 1013);
        state_->frameCounter = 3;
        dlg.PaintProgress(60);
        state_->frameCounter = frame;
        if (invalidate) {
            dlg.InvalidateAll();
        } else {
            dlg.ClearProgress();
        }
        // A repaint by Qt, as an uncovered window gets.
        area->repaint();
        QCOMPARE(InnerPixels(*area).pixelColor(5, 5) == kBarFill, kept);
    }

    void statusNewlineMakesTwoLines() {
        CDownloadDlg dlg(*state_, {folder_->Path(), {}});
        auto* status = dialog::Find<QLabel>(dlg, 1014);
        dlg.SetStatus("Unit is not responding. Please retry...");
        QCOMPARE(ui_testing::TextBands(InnerPixels(*status), 2), 1);
        dlg.SetStatus("Invalid response from the unit.\nCan not proceed. Please retry...");
        QCOMPARE(status->text(),
                 QString("Invalid response from the unit.\nCan not proceed. Please retry..."));
        QCOMPARE(ui_testing::TextBands(InnerPixels(*status), 2), 2);
    }

    void waitCursorIsBalanced() {
        {
            CDownloadDlg dlg(*state_, {folder_->Path(), {}});
            dlg.ShowWaitCursor(true);
            dlg.ShowWaitCursor(true);
            QVERIFY(QApplication::overrideCursor() != nullptr);
            QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
            dlg.ShowWaitCursor(false);
            QCOMPARE(QApplication::overrideCursor(), nullptr);
            dlg.ShowWaitCursor(true);
        }
        // A dialog going away mid-attempt must not leave the cursor stuck.
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

  private:
    void StartUnit() {
        unit_ = std::make_unique<vx7r::VirtualUnit>();
        std::string error;
        QVERIFY2(unit_->Start(&error), error.c_str());
        setenv("ROMLIFT_COM2", unit_->DevicePath().c_str(), 1);
    }

    std::unique_ptr<ui_testing::ProgramFolder> folder_;
    std::unique_ptr<DownloadState> state_;
    std::unique_ptr<vx7r::VirtualUnit> unit_;
};

}  // namespace romlift

int RunDownloadDialogTests(int argc, char** argv) {
    romlift::DownloadDialogTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "download_dialog_test.moc"
