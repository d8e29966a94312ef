// The built program in a child process: exit codes, the settings written (or not) at the end,
// a start-up file that cannot be opened, and the options that need no display.
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTest>
#include <filesystem>

#include "scratch_dir.h"

namespace romlift {
namespace {

using testing::ScratchDir;

struct Run {
    int exitCode = -1;
    bool finished = false;
    QString out;
    QString err;
};

// Runs the program with its own settings folder; kills it if it has not ended on its own.
Run RunProgram(const ScratchDir& home, const QStringList& args, const QStringList& env) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("XDG_CONFIG_HOME", QString::fromStdString(home.Path().string()));
    e.insert("XDG_STATE_HOME", QString::fromStdString(home.Path().string()));
    e.remove("ROMLIFT_RECORD");
    e.insert("XDG_RUNTIME_DIR", QString::fromStdString(home.Path().string()));
    e.insert("QT_QPA_PLATFORM", "offscreen");
    for (const QString& kv : env) {
        const qsizetype eq = kv.indexOf('=');
        if (eq < 0) {
            e.remove(kv);
        } else {
            e.insert(kv.left(eq), kv.mid(eq + 1));
        }
    }
    p.setProcessEnvironment(e);
    p.start(ROMLIFT_EXE, args);
    Run r;
    // A guard against a program that never ends (a window left open), not a speed check.
    r.finished = p.waitForStarted(30000) && p.waitForFinished(60000);
    if (!r.finished) {
        p.kill();
        p.waitForFinished();
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QString SettingsFile(const ScratchDir& home) {
    return QString::fromStdString((home.Path() / "Vek" / "vek.ini").string());
}

class ProcessTest : public QObject {
    Q_OBJECT
  private slots:
    void endings_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("settingsWritten");
        QTest::newRow("Exit command") << "exit" << 1 << false;
        QTest::newRow("window closed") << "close" << 0 << true;
    }
    void endings() {
        QFETCH(QString, how);
        QFETCH(int, exitCode);
        QFETCH(bool, settingsWritten);
        ScratchDir home;
        // A start-up file goes into the recent list, so a normal shutdown has something to write.
        const auto doc = home.Write("start.pzm", {});
        const QString docPath = QString::fromStdString(doc.string());

        const Run r = RunProgram(home, {docPath}, {"ROMLIFT_TEST_AUTOQUIT=" + how});
        QVERIFY2(r.finished, qPrintable(r.err));
        QCOMPARE(r.exitCode, exitCode);
        QCOMPARE(QFile::exists(SettingsFile(home)), settingsWritten);
        if (settingsWritten) {
            QSettings s(SettingsFile(home), QSettings::IniFormat);
            QCOMPARE(s.value("Recent File List/File1").toString(), docPath);
        }
    }

    void unreadableStartFile_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing") << "missing.pzm";
        QTest::newRow("a file without read permission") << "locked";
        QTest::newRow("a folder") << "folder.pzm";
    }
    void unreadableStartFile() {
        QFETCH(QString, name);
        ScratchDir home;
        const auto path = home.Path() / name.toStdString();
        if (name == "folder.pzm") {
            std::filesystem::create_directory(path);
        }
        if (name == "locked") {
            home.Write(name.toStdString(), {1, 2, 3});
            QFile::setPermissions(QString::fromStdString(path.string()), QFileDevice::WriteOwner);
            if (QFile(QString::fromStdString(path.string())).open(QIODevice::ReadOnly)) {
                QSKIP("running with rights that read any file");
            }
        }
        const QString p = QString::fromStdString(path.string());
        // No auto-quit: a window left open would keep the program running.
        const Run r = RunProgram(home, {p}, {"ROMLIFT_TEST_MESSAGES=stderr"});
        QVERIFY2(r.finished, "the program kept running: a window was opened");
        QVERIFY(r.exitCode != 0);
        QVERIFY2(r.err.contains("Cannot open the file " + p + "."), qPrintable(r.err));
    }

    void infoOptions_data() {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("firstLine");
        QTest::newRow("version") << "--version"
                                 << "romlift 1.0.1.1";
        QTest::newRow("help") << "--help"
                              << "Usage: romlift [FILE]";
    }
    void infoOptions() {
        QFETCH(QString, option);
        QFETCH(QString, firstLine);
        ScratchDir home;
        // No display of any kind: these must not need one.
        const Run r =
            RunProgram(home, {option}, {"QT_QPA_PLATFORM=xcb", "DISPLAY", "WAYLAND_DISPLAY"});
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out.section('\n', 0, 0), firstLine);
        QVERIFY(!QFile::exists(SettingsFile(home)));
    }
};

}  // namespace
}  // namespace romlift

int RunProcessTests(int argc, char** argv) {
    romlift::ProcessTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "process_test.moc"
