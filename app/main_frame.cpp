#include "main_frame.h"

#include <csignal>
#include <cstdlib>
#include <optional>
#include <utility>

#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QTimer>
#include <QToolBar>

#include "about_dlg.h"
#include "download_dialog.h"
#include "firmware_locator.h"
#include "lock_keys.h"
#include "recent_downloads.h"
#include "vek_app.h"
#include "vek_doc.h"
#include "vek_view.h"

namespace romlift {
namespace {
const QString kReady = QStringLiteral("Ready");
}

CMainFrame::CMainFrame(CVekApp& app, std::unique_ptr<CVekDoc> doc, FrameOptions options,
                       QWidget* parent)
    : QMainWindow(parent),
      app_(app),
      options_(std::move(options)),
      doc_(std::move(doc)),
      view_(new CVekView(this)) {
    setCentralWidget(view_);
    setWindowTitle(doc_->Title() + " - vek");

    download_ = MakeAction("&Download...", "57600", QKeySequence(Qt::CTRL | Qt::Key_N));
    download_->setStatusTip("Create a new document");
    exit_ = MakeAction("E&xit", "32771");
    about_ = MakeAction("&About Romlift...", "57664");
    about_->setStatusTip("Display program information, version number and copyright");
    open_ = MakeAction("Open", "57601", QKeySequence(Qt::CTRL | Qt::Key_O));
    save_ = MakeAction("Save", "57603", QKeySequence(Qt::CTRL | Qt::Key_S));
    print_ = MakeAction("Print", "57607", QKeySequence(Qt::CTRL | Qt::Key_P));
    connect(download_, &QAction::triggered, this, &CMainFrame::OnDownload);
    connect(exit_, &QAction::triggered, this, &CMainFrame::OnExit);
    connect(about_, &QAction::triggered, this, &CMainFrame::OnAbout);
    connect(open_, &QAction::triggered, this, &CMainFrame::OnFileOpen);
    connect(save_, &QAction::triggered, this, &CMainFrame::OnFileSave);
    connect(print_, &QAction::triggered, this, &CMainFrame::OnFilePrint);

    // Edit and pane keys have no handler: enabled actions that do nothing swallow them, so no
    // child widget acts on them either.
    struct Swallowed {
        const char* id;
        QList<QKeySequence> keys;
    };
    const Swallowed swallowed[] = {
        {"57643", {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)}},
        {"57635", {QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::SHIFT | Qt::Key_Delete)}},
        {"57634", {QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)}},
        {"57637", {QKeySequence(Qt::CTRL | Qt::Key_V), QKeySequence(Qt::SHIFT | Qt::Key_Insert)}},
        {"57680", {QKeySequence(Qt::Key_F6)}},
        {"57681", {QKeySequence(Qt::SHIFT | Qt::Key_F6)}},
    };
    for (const Swallowed& s : swallowed) {
        QAction* a = MakeAction(QString(), s.id);
        a->setShortcuts(s.keys);
    }

    QMenu* firmware = menuBar()->addMenu("&Firmware");
    firmware->addAction(download_);
    firmware->addAction(exit_);
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction(about_);
    for (QMenu* m : {firmware, help}) {
        // A highlighted item shows its prompt, possibly empty; a closed menu leaves "Ready".
        connect(m, &QMenu::hovered, this, [this](QAction* a) { ShowPrompt(a->statusTip()); });
        connect(m, &QMenu::aboutToHide, this, [this] { ShowPrompt(kReady); });
    }

    CreateToolBar();
    CreateStatusBar();
}

CMainFrame::~CMainFrame() = default;

QAction* CMainFrame::MakeAction(const QString& text, const char* id, const QKeySequence& key) {
    auto* a = new QAction(text, this);
    a->setObjectName(id);
    if (!key.isEmpty()) {
        a->setShortcut(key);
    }
    addAction(a);  // keys work while the window is active, menu open or not
    return a;
}

void CMainFrame::CreateToolBar() {
    QToolBar* bar = addToolBar("Standard");
    bar->setObjectName("toolbar");
    bar->setIconSize(QSize(16, 15));
    QStyle* s = style();
    auto button = [&](QStyle::StandardPixmap icon, const QString& text, QAction* runs) {
        QAction* a = bar->addAction(s->standardIcon(icon), text);
        if (runs != nullptr) {
            connect(a, &QAction::triggered, runs, &QAction::trigger);
        } else {
            a->setEnabled(false);  // no handler: shown greyed
        }
    };
    button(QStyle::SP_FileIcon, "New", download_);
    button(QStyle::SP_DialogOpenButton, "Open", open_);
    button(QStyle::SP_DialogSaveButton, "Save", save_);
    bar->addSeparator();
    button(QStyle::SP_DialogDiscardButton, "Cut", nullptr);
    button(QStyle::SP_FileDialogContentsView, "Copy", nullptr);
    button(QStyle::SP_FileDialogDetailedView, "Paste", nullptr);
    bar->addSeparator();
    button(QStyle::SP_ComputerIcon, "Print", print_);
    bar->addSeparator();
    button(QStyle::SP_MessageBoxQuestion, "About", about_);
    bar->hide();
}

void CMainFrame::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    message_ = new QLabel(kReady, bar);
    message_->setObjectName("message");
    bar->addWidget(message_, 1);
    // The indicators keep their width while blank, so the message pane does not jump when a lock
    // goes on or off.
    QLabel** panes[] = {&caps_, &num_, &scroll_};
    const char* names[] = {"CAP", "NUM", "SCRL"};
    for (int i = 0; i < 3; ++i) {
        auto* l = new QLabel(bar);
        l->setObjectName(names[i]);
        l->setAlignment(Qt::AlignCenter);
        l->setMinimumWidth(l->fontMetrics().horizontalAdvance(names[i]) + 8);
        l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        bar->addPermanentWidget(l);
        *panes[i] = l;
    }
    RefreshLockPanes();
    // The LEDs change without telling the window (another keyboard, another program): look
    // again a few times a second, which costs one small directory read.
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &CMainFrame::RefreshLockPanes);
    poll->start(250);
}

void CMainFrame::RefreshLockPanes() {
    const LockKeys keys = ReadLockKeys(options_.ledsFolder);
    caps_->setText(keys.caps ? "CAP" : "");
    num_->setText(keys.num ? "NUM" : "");
    scroll_->setText(keys.scroll ? "SCRL" : "");
}

void CMainFrame::ShowPrompt(const QString& text) {
    message_->setText(text);
}

bool CMainFrame::event(QEvent* event) {
    // The prompt pane is driven by the menus above; Qt's own status tips would hide it.
    if (event->type() == QEvent::StatusTip) {
        return true;
    }
    return QMainWindow::event(event);
}

void CMainFrame::OnDownload() {
    int bySignal = 0;
    {
        CDownloadDlg dlg(app_.State(), app_.Locate(), options_.download, this);
        dlg.exec();
        bySignal = dlg.InterruptedBy();
    }
    if (bySignal != 0) {
        // The attempt was stopped and recorded; now end as the signal asked (no settings written,
        // as when the signal ends the program outside a download).
        ::signal(bySignal, SIG_DFL);
        ::raise(bySignal);
    }
    view_->Downloads()->Reload();  // the rows the dialog just wrote
}

void CMainFrame::OnFileOpen() {
    std::optional<QString> path;
    if (options_.fileOpen) {
        path = options_.fileOpen();
    } else {
        QFileDialog dlg(this, "File Open Dialog Box");
        dlg.setFileMode(QFileDialog::AnyFile);
        dlg.setAcceptMode(QFileDialog::AcceptOpen);
        // The second filter keeps its text; on Linux its pattern shows names with a dot.
        dlg.setNameFilters({"Pzm Files(*.pzm)", "All Files(*.*)"});
        if (dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty()) {
            path = dlg.selectedFiles().front();
        }
    }
    if (!path) {
        return;
    }
    // Only the path is kept for the caption; the file is never opened, and the recent-file list
    // belongs to the document's own Open and Save.
    app_.SetChosenImagePath(*path);
    setWindowTitle(*path);
}

void CMainFrame::OnFileSave() {
    QString path = doc_->PathName();
    if (path.isEmpty()) {
        std::optional<QString> chosen;
        if (options_.saveAs) {
            chosen = options_.saveAs();
        } else {
            const QString p =
                QFileDialog::getSaveFileName(this, "Save As", doc_->Title(), "All Files(*)");
            if (!p.isEmpty()) {
                chosen = p;
            }
        }
        if (!chosen) {
            return;
        }
        path = *chosen;
    }
    if (!doc_->Save(path)) {
        app_.Message(QStringLiteral("Cannot save the file %1.").arg(path));
        return;
    }
    setWindowTitle(doc_->Title() + " - vek");
    app_.AddRecentFile(doc_->PathName());
}

void CMainFrame::OnFilePrint() {
    QPrinter printer;
    if (options_.printToPdf) {
        const std::optional<QString> pdf = options_.printToPdf();
        if (!pdf) {
            return;
        }
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(*pdf);
    } else {
        QPrintDialog dlg(&printer, this);
        if (dlg.exec() != QDialog::Accepted) {
            return;
        }
    }
    // One page with nothing drawn on it.
    QPainter page;
    if (page.begin(&printer)) {
        page.end();
    }
}

void CMainFrame::OnAbout() {
    CAboutDlg dlg(this);
    dlg.exec();
}

void CMainFrame::OnExit() {
    // At once, no orderly shutdown: static objects are destroyed, settings are not written.
    std::exit(1);
}

}  // namespace romlift
