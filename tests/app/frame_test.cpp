// The main window driven through its menus and keys, with the modal dialogs answered from timers.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include "about_dlg.h"
#include "download_dialog.h"
#include "file_select_dialog.h"
#include "frame_options.h"
#include "lock_keys.h"
#include "main_frame.h"
#include "scratch_dir.h"
#include "vek_app.h"
#include "vek_doc.h"
#include "vek_view.h"
#include "virtual_unit.h"

namespace romlift {
namespace {

using testing::ScratchDir;

// Runs `answer` on the next modal window once it is up, so that the test thread is not stuck in
// its exec(). Gives up (and the test then fails on what it recorded) after a generous while.
void AnswerNextModal(std::function<void(QWidget&)> answer) {
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, tries, answer] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr || ++*tries > 500) {
            timer->stop();
            timer->deleteLater();
            if (modal != nullptr) {
                answer(*modal);
            }
        }
    });
    timer->start(10);
}

// Opens a top-level menu with its Alt key; the popup that shows.
QMenu* OpenMenu(CMainFrame& frame, Qt::Key key) {
    QTest::keyClick(&frame, key, Qt::AltModifier);
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

class FrameTest : public QObject {
    Q_OBJECT
  private slots:
    void init() {
        openAnswer_.reset();
        Start(OpenAnswered());
    }
    void cleanup() {
        app_.reset();
        frame_ = nullptr;
        QFile::remove(
            QSettings(QSettings::IniFormat, QSettings::UserScope, "Vek", "vek").fileName());
    }

    void startsAsSpecified() {
        QCOMPARE(frame_->windowTitle(), QString("Flashpath"));
        QVERIFY(frame_->isMaximized());
        QCOMPARE(frame_->MessagePane()->text(), QString("Ready"));
        QVERIFY(!frame_->windowIcon().isNull());
        const QList<QSize> sizes = QApplication::windowIcon().availableSizes();
        QVERIFY(sizes.contains(QSize(32, 32)) && sizes.contains(QSize(16, 16)));
        QStringList menus;
        for (QAction* a : frame_->menuBar()->actions()) {
            QStringList items;
            for (QAction* i : a->menu()->actions()) {
                items << i->text() + "=" + i->objectName();
            }
            menus << a->text() + ": " + items.join(", ");
        }
        QCOMPARE(menus, QStringList({"&Firmware: &Download...=57600, E&xit=32771",
                                     "&Help: &About Romlift...=57664"}));
        for (const char* name : {"CAP", "NUM", "SCRL"}) {
            auto* l = frame_->statusBar()->findChild<QLabel*>(name);
            QVERIFY2(l != nullptr && l->isVisible(), name);
        }
    }

    // The lock panes follow the keyboard LEDs; with none to read they stay blank.
    void lockPanesFollowTheLeds() {
        ScratchDir scratch;
        const std::filesystem::path leds = scratch.Path() / "leds";
        std::filesystem::create_directory(leds);
        auto led = [&](const std::string& name, const char* level) {
            std::filesystem::create_directory(leds / name);
            std::ofstream(leds / name / "brightness") << level << "\n";
        };
        led("input3::capslock", "1");
        led("input3::numlock", "0");
        led("input7::numlock", "0");
        led("input7::scrolllock", "1");
        led("phy0-led", "1");  // not a lock LED
        auto panes = [&] {
            QStringList texts;
            for (const char* name : {"CAP", "NUM", "SCRL"}) {
                texts << frame_->statusBar()->findChild<QLabel*>(name)->text();
            }
            return texts;
        };

        FrameOptions options;
        options.ledsFolder = leds;
        Start(std::move(options));
        QCOMPARE(panes(), QStringList({"CAP", "", "SCRL"}));
        led("input7::numlock", "1");  // a second keyboard lights Num Lock
        led("input3::capslock", "0");
        QTRY_COMPARE(panes(), QStringList({"", "NUM", "SCRL"}));  // picked up by the poll
        QCOMPARE(ReadLockKeys(leds), (LockKeys{false, true, true}));

        std::filesystem::remove_all(leds);  // the keyboards are gone
        frame_->RefreshLockPanes();
        QCOMPARE(panes(), QStringList({"", "", ""}));
    }

    void downloadOpensDialog_data() {
        QTest::addColumn<bool>("byMenu");
        QTest::newRow("Firmware > Download...") << true;
        QTest::newRow("Ctrl+N") << false;
    }
    void downloadOpensDialog() {
        QFETCH(bool, byMenu);
        const int docs = CVekDoc::Created();
        QString seen;
        QWidget* parent = nullptr;
        AnswerNextModal([&](QWidget& w) {
            if (auto* d = qobject_cast<CDownloadDlg*>(&w)) {
                seen = d->windowTitle();
                parent = d->parentWidget();
            }
            static_cast<QDialog&>(w).reject();
        });
        if (byMenu) {
            QMenu* m = OpenMenu(*frame_, Qt::Key_F);
            QVERIFY(m != nullptr);
            QTest::keyClick(m, Qt::Key_D);
        } else {
            QTest::keyClick(frame_, Qt::Key_N, Qt::ControlModifier);
        }
        QCOMPARE(seen, QString("Download"));
        QCOMPARE(parent, frame_);
        QVERIFY(frame_->findChildren<CDownloadDlg*>().isEmpty());  // destroyed after use
        QCOMPARE(CVekDoc::Created(), docs);
        QCOMPARE(frame_->windowTitle(), QString("Flashpath"));
    }

    void menuPromptsInStatusBar() {
        QLabel* pane = frame_->MessagePane();
        QMenu* firmware = OpenMenu(*frame_, Qt::Key_F);
        QVERIFY(firmware != nullptr);
        firmware->setActiveAction(firmware->actions().at(0));
        QCOMPARE(pane->text(), QString("Create a new document"));
        QTest::keyClick(firmware, Qt::Key_Down);
        QCOMPARE(firmware->activeAction()->objectName(), QString("32771"));
        QCOMPARE(pane->text(), QString());
        QTest::keyClick(firmware, Qt::Key_Escape);
        QTRY_COMPARE(pane->text(), QString("Ready"));
        QTest::keyClick(QApplication::activePopupWidget() ? QApplication::activePopupWidget()
                                                          : static_cast<QWidget*>(frame_),
                        Qt::Key_Escape);

        QMenu* help = OpenMenu(*frame_, Qt::Key_H);
        QVERIFY(help != nullptr);
        help->setActiveAction(help->actions().at(0));
        QCOMPARE(pane->text(),
                 QString("Display program information, version number and copyright"));
        help->hide();
        QCOMPARE(pane->text(), QString("Ready"));
        // The status bar's own message, which would cover the pane, stays unused.
        QCOMPARE(frame_->statusBar()->currentMessage(), QString());
    }

    void fileOpenSetsCaption_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("existing") << QString();  // filled in with a real file
        QTest::newRow("does not exist") << "/tmp/romlift-no-such-dir/unit.pzm";
        QTest::newRow("longer than 99 characters")
            << "/tmp/" + QString(120, 'a') + "/firmware with blanks & ampersand.pzm";
    }
    void fileOpenSetsCaption() {
        QFETCH(QString, path);
        ScratchDir dir;
        if (path.isEmpty()) {
            path = QString::fromStdString(dir.Write("panel.pzm", {1, 2}).string());
        }
        const int docs = CVekDoc::Created();
        const QStringList recent = app_->RecentFiles();
        OpenWith(path);
        QCOMPARE(frame_->windowTitle(), path);
        QCOMPARE(app_->ChosenImagePath(), path);
        // Choosing a path opens no document, so the recent-file list stays as it was.
        QCOMPARE(app_->RecentFiles(), recent);
        QCOMPARE(CVekDoc::Created(), docs);
    }

    void fileOpenCancelChangesNothing() {
        const QStringList before = app_->RecentFiles();
        OpenWith(std::nullopt);
        QCOMPARE(frame_->windowTitle(), QString("Flashpath"));
        QCOMPARE(app_->ChosenImagePath(), QString());
        QCOMPARE(app_->RecentFiles(), before);

        // After a choice, a cancelled dialog keeps the earlier path and caption.
        OpenWith("/srv/a.pzm");
        OpenWith(std::nullopt);
        QCOMPARE(frame_->windowTitle(), QString("/srv/a.pzm"));
        QCOMPARE(app_->ChosenImagePath(), QString("/srv/a.pzm"));
    }

    void fileOpenRealDialog() {
        Start({});
        ScratchDir dir;
        const QString path = QString::fromStdString((dir.Path() / "typed.pzm").string());
        QString title;
        QStringList filters;
        bool anyFile = false;
        AnswerNextModal([&](QWidget& w) {
            auto* d = qobject_cast<QFileDialog*>(&w);
            if (d == nullptr) {
                static_cast<QDialog&>(w).reject();
                return;
            }
            title = d->windowTitle();
            filters = d->nameFilters();
            anyFile = d->fileMode() == QFileDialog::AnyFile;
            // Typed, as a user would: selectFile() leaves a focused name field alone.
            auto* name = d->findChild<QLineEdit*>("fileNameEdit");
            if (name != nullptr) {
                name->setText(path);
            }
            static_cast<QDialog*>(d)->accept();
            if (d->isVisible()) {  // refused: fail instead of hanging
                d->reject();
            }
        });
        QTest::keyClick(frame_, Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(title, QString("File Open Dialog Box"));
        QCOMPARE(filters, QStringList({"Pzm Files(*.pzm)", "All Files(*.*)"}));
        QVERIFY(anyFile);
        QCOMPARE(frame_->windowTitle(), path);
        QVERIFY(!QFile::exists(path));  // never opened, so never made
    }

    // The caption path is never sent: the firmware still comes from drivers/, the file chosen in
    // the list the window's Download dialog asks through the window's own prompts.
    void downloadAfterFileOpenSendsLocatedFirmware() {
        ScratchDir prog;
        std::filesystem::create_directory(prog.Path() / "drivers");
        const std::vector<uint8_t> firmware = {0x10, 0x20, 0x30, 0x40, 0x55, 0xAA, 0x01};
        prog.Write("drivers/PLQ5A-0.abs", {0x66, 0x66});
        prog.Write("drivers/PLQ5A-1.abs", firmware);
        const QString chosen =
            QString::fromStdString(prog.Write("other.pzm", {9, 9, 9, 9}).string());
        int choices = 0;
        FrameOptions options = OpenAnswered();
        options.download.fileSelect = [&choices](CFileSelectDlg& select) {
            ++choices;
            select.accept();  // the last file, highlighted
            return select.result();
        };
        Start(std::move(options));
        app_->SetLocate({prog.Path(), {}});

        vx7r::VirtualUnit unit;  // type code 10: the first model row
        std::string error;
        QVERIFY2(unit.Start(&error), error.c_str());
        setenv("ROMLIFT_COM1", unit.DevicePath().c_str(), 1);

        OpenWith(chosen);
        QCOMPARE(frame_->windowTitle(), chosen);

        QString status;
        AnswerNextModal([&](QWidget& w) {
            if (auto* d = qobject_cast<CDownloadDlg*>(&w)) {
                QTest::mouseClick(dialog::Find<QPushButton>(*d, CDownloadDlg::kDownload),
                                  Qt::LeftButton);
                status = dialog::Find<QLabel>(*d, CDownloadDlg::kStatus)->text();
            }
            static_cast<QDialog&>(w).reject();
        });
        QTest::keyClick(frame_, Qt::Key_N, Qt::ControlModifier);
        unsetenv("ROMLIFT_COM1");
        std::filesystem::current_path("/tmp");  // the locator entered the program folder

        QCOMPARE(status, QString("DownLoad is Completed Successfully"));
        QCOMPARE(choices, 1);
        QVERIFY(unit.WaitForAttempts(1, 10000));
        const auto attempts = unit.Attempts();
        QCOMPARE(attempts.size(), size_t{1});
        QVERIFY(attempts[0].confirmed);
        QVERIFY(attempts[0].image == firmware);
        QCOMPARE(frame_->windowTitle(), chosen);
    }

    void toolbarHidden() {
        auto* bar = frame_->findChild<QToolBar*>("toolbar");
        QVERIFY(bar != nullptr);
        QVERIFY(!bar->isVisible());
        QStringList buttons;
        for (QAction* a : bar->actions()) {
            if (!a->isSeparator()) {
                buttons << a->text();
            }
        }
        QCOMPARE(buttons,
                 QStringList({"New", "Open", "Save", "Cut", "Copy", "Paste", "Print", "About"}));
        QTest::keyClick(frame_, Qt::Key_F6);
        QVERIFY(!bar->isVisible());
    }

    // Keys with no handler reach a bound action that does nothing, so nothing else sees them.
    void keysWithoutHandlerAreSwallowed_data() {
        QTest::addColumn<QKeySequence>("key");
        for (const QKeySequence& k :
             {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_X),
              QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_V),
              QKeySequence(Qt::ALT | Qt::Key_Backspace), QKeySequence(Qt::SHIFT | Qt::Key_Delete),
              QKeySequence(Qt::CTRL | Qt::Key_Insert), QKeySequence(Qt::SHIFT | Qt::Key_Insert),
              QKeySequence(Qt::Key_F6), QKeySequence(Qt::SHIFT | Qt::Key_F6)}) {
            QTest::newRow(qPrintable(k.toString())) << k;
        }
    }
    void keysWithoutHandlerAreSwallowed() {
        QFETCH(QKeySequence, key);
        QAction* bound = nullptr;
        for (QAction* a : frame_->actions()) {
            if (a->shortcuts().contains(key)) {
                QVERIFY2(bound == nullptr, "bound twice: Qt would call it ambiguous");
                bound = a;
            }
        }
        QVERIFY(bound != nullptr);
        QSignalSpy fired(bound, &QAction::triggered);
        QTest::keySequence(frame_, key);
        QCOMPARE(fired.count(), 1);
        QCOMPARE(frame_->windowTitle(), QString("Flashpath"));
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }

    void saveWritesEmptyFileAndRecentList() {
        ScratchDir dir;
        const auto file = dir.Write("saved.pzm", {9, 9, 9});  // Save must empty it
        const QString path = QString::fromStdString(file.string());
        int asked = 0;
        FrameOptions options;
        options.saveAs = [&]() -> std::optional<QString> {
            ++asked;
            return path;
        };
        Start(std::move(options));
        QTest::keyClick(frame_, Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(QFileInfo(path).size(), 0);
        QCOMPARE(frame_->windowTitle(), QString("saved.pzm - vek"));
        // The document has its name now: a second Save asks nothing.
        QTest::keyClick(frame_, Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(asked, 1);

        app_->ExitInstance();
        QSettings stored(app_->Settings().fileName(), QSettings::IniFormat);
        QCOMPARE(stored.value("Recent File List/File1").toString(), path);
    }

    void recentListKeepsFourNewestFirst() {
        for (const char* p : {"/a", "/b", "/c", "/d", "/e", "/c"}) {
            app_->AddRecentFile(p);
        }
        QCOMPARE(app_->RecentFiles(), QStringList({"/c", "/e", "/d", "/b"}));
        app_->ExitInstance();
        // A new application object reads back what the last one wrote.
        app_.reset();
        CVekApp again;
        QCOMPARE(again.RecentFiles(), QStringList({"/c", "/e", "/d", "/b"}));
    }

    void printMakesOneBlankPage() {
        ScratchDir dir;
        const QString pdf = QString::fromStdString((dir.Path() / "out.pdf").string());
        FrameOptions options;
        options.printToPdf = [pdf] { return std::optional<QString>(pdf); };
        Start(std::move(options));
        QTest::keyClick(frame_, Qt::Key_P, Qt::ControlModifier);
        QFile f(pdf);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QVERIFY(bytes.startsWith("%PDF"));
        static const QRegularExpression page("/Type\\s*/Page[^s]");
        QCOMPARE(QString::fromLatin1(bytes).count(page), 1);
    }

    void aboutBox() {
        QString caption, text;
        bool iconShown = false;
        bool okDefault = false;
        bool modalFrame = false;
        AnswerNextModal([&](QWidget& w) {
            if (auto* d = qobject_cast<CAboutDlg*>(&w)) {
                caption = d->windowTitle();
                const Qt::WindowFlags f = d->windowFlags();
                modalFrame = d->parentWidget() == frame_ && f.testFlag(Qt::WindowCloseButtonHint) &&
                             !f.testFlag(Qt::WindowMinimizeButtonHint) &&
                             !f.testFlag(Qt::WindowMaximizeButtonHint);
                for (QLabel* l : d->findChildren<QLabel*>()) {
                    if (!l->text().isEmpty()) {
                        text = l->text();
                    }
                    iconShown = iconShown || !l->pixmap().isNull();
                }
                auto* ok = d->findChild<QPushButton*>("1");
                okDefault = ok != nullptr && ok->isDefault() && ok->text() == "OK";
                if (ok != nullptr) {
                    QTest::mouseClick(ok, Qt::LeftButton);
                }
            }
            if (QApplication::activeModalWidget() == &w) {
                static_cast<QDialog&>(w).reject();  // OK did not close it
                caption += " (OK did not close)";
            }
        });
        QMenu* help = OpenMenu(*frame_, Qt::Key_H);
        QVERIFY(help != nullptr);
        QTest::keyClick(help, Qt::Key_A);
        QCOMPARE(caption, QString("About Romlift"));
        QCOMPARE(text, QString("Romlift V 1.01"));
        QVERIFY(iconShown);
        QVERIFY(okDefault);
        QVERIFY(modalFrame);
        QVERIFY(frame_->findChildren<CAboutDlg*>().isEmpty());
    }

  private:
    // A new application object and main window with `options`, shown and active.
    void Start(FrameOptions options) {
        app_.reset();
        app_ = std::make_unique<CVekApp>(std::move(options));
        QVERIFY(app_->InitInstance(std::nullopt));
        frame_ = app_->MainFrame();
        QVERIFY(QTest::qWaitForWindowExposed(frame_));
        frame_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(frame_));
    }

    // File Open answered with what OpenWith() says; the other questions ask the person.
    FrameOptions OpenAnswered() {
        FrameOptions options;
        options.fileOpen = [this] { return openAnswer_; };
        return options;
    }

    // Ctrl+O, the file dialog answered with `path` (none: cancelled).
    void OpenWith(const std::optional<QString>& path) {
        openAnswer_ = path;
        QTest::keyClick(frame_, Qt::Key_O, Qt::ControlModifier);
    }

    std::unique_ptr<CVekApp> app_;
    CMainFrame* frame_ = nullptr;
    std::optional<QString> openAnswer_;
};

}  // namespace
}  // namespace romlift

int RunFrameTests(int argc, char** argv) {
    romlift::FrameTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "frame_test.moc"
