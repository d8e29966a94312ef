#include "vek_app.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <ostream>
#include <string>
#include <utility>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "icon.h"
#include "main_frame.h"
#include "vek_doc.h"
#include "version.h"

namespace romlift {
namespace {

constexpr const char* kRecentGroup = "Recent File List";

QString RecentKey(int i) {
    return QStringLiteral("File%1").arg(i + 1);
}

}  // namespace

void CVekApp::ConfigureApplication() {
    QCoreApplication::setOrganizationName("Vek");
    QCoreApplication::setApplicationName("vek");
    QCoreApplication::setApplicationVersion(version::kProduct);
    QApplication::setWindowIcon(ProgramIcon());
}

// The desktop's standard per-user place: $XDG_CONFIG_HOME/Vek/vek.ini.
CVekApp::CVekApp(FrameOptions options)
    : options_(std::move(options)),
      settings_(QSettings::IniFormat, QSettings::UserScope, "Vek", "vek") {
    settings_.beginGroup(kRecentGroup);
    for (int i = 0; i < kMaxRecentFiles; ++i) {
        const QString p = settings_.value(RecentKey(i)).toString();
        if (!p.isEmpty()) {
            recent_.append(p);
        }
    }
    settings_.endGroup();
}

CVekApp::~CVekApp() = default;

bool CVekApp::InitInstance(const std::optional<QString>& file) {
    auto doc = std::make_unique<CVekDoc>();
    if (file) {
        if (!doc->Open(*file)) {
            Message(QStringLiteral("Cannot open the file %1.").arg(*file));
            return false;
        }
        AddRecentFile(doc->PathName());
    }
    frame_ = std::make_unique<CMainFrame>(*this, std::move(doc), options_);
    frame_->showMaximized();
    frame_->repaint();
    frame_->setWindowTitle("Flashpath");
    return true;
}

void CVekApp::ExitInstance() {
    settings_.beginGroup(kRecentGroup);
    settings_.remove("");
    for (int i = 0; i < recent_.size(); ++i) {
        settings_.setValue(RecentKey(i), recent_[i]);
    }
    settings_.endGroup();
    settings_.sync();
}

void CVekApp::AddRecentFile(const QString& path) {
    recent_.removeAll(path);
    recent_.prepend(path);
    while (recent_.size() > kMaxRecentFiles) {
        recent_.removeLast();
    }
}

void CVekApp::Message(const QString& text) {
    if (options_.message) {
        options_.message(text);
        return;
    }
    QMessageBox::warning(frame_.get(), QCoreApplication::applicationName(), text);
}

std::optional<int> HandleInfoOptions(int argc, char** argv, std::ostream& out) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            out << "romlift " << version::kProduct << "\n";
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            out << "Usage: romlift [FILE]\n"
                   "Write firmware into VX7R operator-panel units over RS-232.\n"
                   "Firmware > Download... opens the download dialog.\n\n"
                   "  FILE       a document to open at start-up (it is only checked for reading)\n"
                   "  --help     show this text and exit\n"
                   "  --version  show the version and exit\n";
            return 0;
        }
    }
    return std::nullopt;
}

int RunRomlift(int argc, char** argv) {
    if (auto code = HandleInfoOptions(argc, argv, std::cout)) {
        return *code;
    }
    QApplication qapp(argc, argv);
    CVekApp::ConfigureApplication();

    // Test hooks, not for users: ROMLIFT_TEST_MESSAGES=stderr writes message-box texts to
    // stderr instead of showing them; ROMLIFT_TEST_AUTOQUIT=exit|close runs the Exit command or
    // closes the main window once the message loop runs.
    FrameOptions options;
    if (const char* m = std::getenv("ROMLIFT_TEST_MESSAGES"); m && std::strcmp(m, "stderr") == 0) {
        options.message = [](const QString& text) { std::cerr << text.toStdString() << "\n"; };
    }

    const QStringList args = QCoreApplication::arguments();
    std::optional<QString> file;
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (!args[i].startsWith('-')) {
            file = args[i];
            break;
        }
    }

    int code = 0;
    {
        CVekApp app(std::move(options));
        if (!app.InitInstance(file)) {
            return 1;
        }
        if (const char* q = std::getenv("ROMLIFT_TEST_AUTOQUIT")) {
            const std::string how = q;
            QTimer::singleShot(0, app.MainFrame(), [&app, how] {
                if (how == "exit") {
                    app.MainFrame()->ExitAction()->trigger();
                } else if (how == "close") {
                    app.MainFrame()->close();
                }
            });
        }
        code = QApplication::exec();
        app.ExitInstance();
    }
    return code;
}

}  // namespace romlift
