// The file selection on its own: which file the user ends up with, and how it is shown.
#include <QHeaderView>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include "dialog_template.h"
#include "download_state.h"
#include "file_select_dialog.h"
#include "ui_test_support.h"

namespace romlift {

class FileSelectTest : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        folder_ = std::make_unique<ui_testing::ProgramFolder>();
        for (const char* name : {"PLQ5A-3.abs", "plq5a-1.ABS", "PLQ5A-2.abs", "PLQ5B-9.abs"}) {
            folder_->AddFirmware(name, 64);
        }
        state_ = std::make_unique<DownloadState>();
        state_->driversFolder = folder_->Drivers();
        state_->programFolder = folder_->Path().string() + "/";
        state_->modelPrefix = "PLQ5A";
    }
    void cleanup() {
        state_.reset();
        folder_.reset();
    }

    void listsMatchesInOrderWithColumns() {
        CFileSelectDlg dlg(*state_);
        auto* list = List(dlg);
        QCOMPARE(list->topLevelItemCount(), 3);
        QStringList names;
        for (int i = 0; i < 3; ++i) {
            names << list->topLevelItem(i)->text(0);
            QCOMPARE(list->topLevelItem(i)->text(2), QString::fromStdString(state_->programFolder));
        }
        QCOMPARE(names, (QStringList{"plq5a-1.ABS", "PLQ5A-2.abs", "PLQ5A-3.abs"}));
        const QStringList titles{"File Name", "Date", "Path", "Size", "Time"};
        const int widths[] = {150, 150, 180, 100, 100};
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(list->headerItem()->text(i), titles[i]);
            QCOMPARE(list->header()->sectionSize(i), widths[i]);
        }
        QVERIFY(!list->header()->sectionsClickable());
        QVERIFY(!list->isSortingEnabled());
        QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
    }

    void lastFileIsTheDefault() {
        CFileSelectDlg dlg(*state_);
        ui_testing::ShowAndWait(dlg);
        auto* list = List(dlg);
        QCOMPARE(state_->chosenFileName, std::string("PLQ5A-3.abs"));
        QVERIFY(list->topLevelItem(2)->isSelected());
        QCOMPARE(list->currentItem(), list->topLevelItem(2));  // the arrow keys start here
        QCOMPARE(dlg.focusWidget(), dialog::Find<QWidget>(dlg, 1));
        ui_testing::Press(dlg, CFileSelectDlg::kOk);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(state_->imageFileName, folder_->Drivers() / "PLQ5A-3.abs");
        QCOMPARE(state_->cancel, 0);
    }

    void clickedFileIsTaken() {
        CFileSelectDlg dlg(*state_);
        ui_testing::ShowAndWait(dlg);
        ClickRow(dlg, 0);
        QCOMPARE(state_->chosenFileName, std::string("plq5a-1.ABS"));
        ui_testing::Press(dlg, CFileSelectDlg::kOk);
        QCOMPARE(state_->imageFileName, folder_->Drivers() / "plq5a-1.ABS");
    }

    // The highlighted file is what OK writes, however the highlight got there.
    void keyboardHighlightIsTheChoice_data() {
        QTest::addColumn<QString>("keys");  // typed into the list, then Enter
        QTest::addColumn<QString>("chosen");
        QTest::newRow("Up from the default") << "<Up>"
                                             << "PLQ5A-2.abs";
        QTest::newRow("click, then Down") << "<click0><Down>"
                                          << "PLQ5A-2.abs";
        QTest::newRow("Home") << "<Home>"
                              << "plq5a-1.ABS";
        QTest::newRow("type-ahead") << "plq5a-1"
                                    << "plq5a-1.ABS";
    }
    void keyboardHighlightIsTheChoice() {
        QFETCH(QString, keys);
        QFETCH(QString, chosen);
        CFileSelectDlg dlg(*state_);
        ui_testing::ShowAndWait(dlg);
        auto* list = List(dlg);
        list->setFocus();
        for (QString rest = keys; !rest.isEmpty();) {
            if (rest.startsWith("<click0>")) {
                ClickRow(dlg, 0);
                rest.remove(0, 8);
            } else if (rest.startsWith("<Up>") || rest.startsWith("<Down>") ||
                       rest.startsWith("<Home>")) {
                const int end = rest.indexOf('>') + 1;
                const QString k = rest.left(end);
                QTest::keyClick(list, k == "<Up>"     ? Qt::Key_Up
                                      : k == "<Down>" ? Qt::Key_Down
                                                      : Qt::Key_Home);
                rest.remove(0, end);
            } else {
                QTest::keyClicks(list, rest);
                rest.clear();
            }
        }
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(state_->imageFileName, folder_->Drivers() / chosen.toStdString());
    }

    void doubleClickStaysOpen() {
        CFileSelectDlg dlg(*state_);
        ui_testing::ShowAndWait(dlg);
        auto* list = List(dlg);
        // A user's double click: a click, then the second press that makes it double.
        ClickRow(dlg, 1);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {},
                           list->visualItemRect(list->topLevelItem(1)).center());
        QVERIFY(dlg.isVisible());
        QCOMPARE(state_->chosenFileName, std::string("PLQ5A-2.abs"));
        QVERIFY(state_->imageFileName.empty());
    }

    void cancelWays_data() {
        QTest::addColumn<int>("way");
        QTest::newRow("Escape") << 0;
        QTest::newRow("Cancel button") << 1;
        QTest::newRow("close box") << 2;
    }
    void cancelWays() {
        QFETCH(int, way);
        CFileSelectDlg dlg(*state_);
        ui_testing::ShowAndWait(dlg);
        ClickRow(dlg, 1);
        if (way == 0) {
            QTest::keyClick(List(dlg), Qt::Key_Escape);
        } else if (way == 1) {
            ui_testing::Press(dlg, CFileSelectDlg::kCancel);
        } else {
            dlg.close();
        }
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QCOMPARE(state_->cancel, 1);
        QVERIFY(state_->imageFileName.empty());
    }

    // A name that is not UTF-8 shows with a replacement character but is chosen byte for byte.
    void rawNameBytesSurvive() {
        const std::string odd = "PLQ5A-\xE9t\xE9.abs";
        folder_->AddFirmware(odd, 8);
        CFileSelectDlg dlg(*state_);
        ui_testing::ShowAndWait(dlg);
        auto* list = List(dlg);
        int row = -1;
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            if (list->topLevelItem(i)->text(0).contains(QChar(0xFFFD))) {
                row = i;
            }
        }
        QVERIFY(row >= 0);
        ClickRow(dlg, row);
        ui_testing::Press(dlg, CFileSelectDlg::kOk);
        QCOMPARE(state_->imageFileName, folder_->Drivers() / odd);
    }

  private:
    static QTreeWidget* List(QWidget& dlg) { return dialog::Find<QTreeWidget>(dlg, 1028); }
    static void ClickRow(QWidget& dlg, int row) {
        auto* list = List(dlg);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->topLevelItem(row)).center());
    }

    std::unique_ptr<ui_testing::ProgramFolder> folder_;
    std::unique_ptr<DownloadState> state_;
};

}  // namespace romlift

int RunFileSelectTests(int argc, char** argv) {
    romlift::FileSelectTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "file_select_test.moc"
