// The two dialogs as built from their tables: ids, texts, tab order, layout inside the window.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>

#include "dialog_template.h"
#include "download_dialog.h"
#include "download_state.h"
#include "file_select_dialog.h"
#include "progress_area.h"
#include "ui_test_support.h"

namespace romlift {
namespace {

// Ids of the controls a Tab press visits, in order, starting from `first`.
QStringList TabChain(QWidget* first) {
    QStringList ids;
    QWidget* w = first;
    do {
        if ((w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus && w->isEnabled()) {
            ids << w->objectName();
        }
        w = w->nextInFocusChain();
    } while (w != first && ids.size() < 20);
    return ids;
}

}  // namespace

class TemplateTest : public QObject {
    Q_OBJECT
  private slots:
    void downloadControls_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("text");
        QTest::newRow("Download") << 1 << "QPushButton"
                                  << "Download";
        QTest::newRow("Close") << 2 << "QPushButton"
                               << "Close";
        QTest::newRow("COM1") << 1006 << "QRadioButton"
                              << "COM1";
        QTest::newRow("COM2") << 1007 << "QRadioButton"
                              << "COM2";
        QTest::newRow("COM3") << 1008 << "QRadioButton"
                              << "COM3";
        QTest::newRow("COM4") << 1009 << "QRadioButton"
                              << "COM4";
        QTest::newRow("progress") << 1013 << "romlift::ProgressArea"
                                  << "";
        QTest::newRow("status") << 1014 << "QLabel"
                                << "";
        QTest::newRow("models") << 1029 << "QComboBox"
                                << "";
        QTest::newRow("unit label") << 1031 << "QLabel"
                                    << "Select Unit :-";
        QTest::newRow("port label") << 1032 << "QLabel"
                                    << "Select Port :-";
    }
    void downloadControls() {
        QFETCH(int, id);
        QFETCH(QString, className);
        QFETCH(QString, text);
        DownloadState state;
        CDownloadDlg dlg(state, {programFolder_.Path(), {}});
        QCOMPARE(dlg.windowTitle(), QString("Download"));
        auto* w = dialog::Find<QWidget>(dlg, id);
        QVERIFY(w != nullptr);
        QCOMPARE(QString(w->metaObject()->className()), className);
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            QCOMPARE(b->text(), text);
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            QCOMPARE(l->text(), text);
        }
        QVERIFY2(QRect(QPoint(0, 0), dlg.size()).contains(w->geometry()),
                 "control lies outside the window");
    }

    // The frames drawn around groups of controls must not catch the mouse meant for them.
    void everyControlTakesTheMouseAtItsCentre() {
        DownloadState state;
        CDownloadDlg dlg(state, {programFolder_.Path(), {}});
        state.driversFolder = programFolder_.Drivers();
        CFileSelectDlg select(state);
        for (QDialog* d : {static_cast<QDialog*>(&dlg), static_cast<QDialog*>(&select)}) {
            for (QWidget* w : d->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (w->objectName().isEmpty() || !w->isVisibleTo(d)) {
                    continue;
                }
                QWidget* hit = d->childAt(w->geometry().center());
                QVERIFY2(hit == w || w->isAncestorOf(hit), qPrintable(w->objectName()));
            }
        }
    }

    void groupBoxesHaveNoId() {
        DownloadState state;
        CDownloadDlg dlg(state, {programFolder_.Path(), {}});
        const auto groups = dlg.findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly);
        QCOMPARE(groups.size(), 5);
        for (QGroupBox* g : groups) {
            QVERIFY(g->objectName().isEmpty());
        }
    }

    void tabOrder() {
        DownloadState state;
        CDownloadDlg dlg(state, {programFolder_.Path(), {}});
        QCOMPARE(TabChain(dialog::Find<QWidget>(dlg, 1029)), (QStringList{"1029", "1", "2"}));

        state.driversFolder = programFolder_.Drivers();
        CFileSelectDlg select(state);
        QCOMPARE(select.windowTitle(), QString("Select File To Download"));
        QCOMPARE(TabChain(dialog::Find<QWidget>(select, 1)), (QStringList{"1", "2", "1028"}));
    }

    // Modal frames: a close box, nothing to minimize, maximize or resize.
    void modalFrames() {
        DownloadState state;
        state.driversFolder = programFolder_.Drivers();
        CDownloadDlg download(state, {programFolder_.Path(), {}});
        CFileSelectDlg select(state);
        for (QDialog* d : {static_cast<QDialog*>(&download), static_cast<QDialog*>(&select)}) {
            const Qt::WindowFlags f = d->windowFlags();
            QVERIFY2(f.testFlag(Qt::WindowCloseButtonHint), qPrintable(d->windowTitle()));
            QVERIFY2(f.testFlag(Qt::WindowTitleHint), qPrintable(d->windowTitle()));
            QVERIFY2(!f.testFlag(Qt::WindowMinimizeButtonHint), qPrintable(d->windowTitle()));
            QVERIFY2(!f.testFlag(Qt::WindowMaximizeButtonHint), qPrintable(d->windowTitle()));
            QCOMPARE(d->minimumSize(), d->maximumSize());
        }
    }

  private:
    ui_testing::ProgramFolder programFolder_;
};

}  // namespace romlift

int RunTemplateTests(int argc, char** argv) {
    romlift::TemplateTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "template_test.moc"
