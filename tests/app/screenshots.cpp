// Pictures of the main window for a person to look at: maximized as it starts, with each menu
// open (the highlighted item's prompt in the status bar), and with the About box over it, plus a
// text file of what each picture should show. Under Xvfb the whole screen is taken, so menus and
// the About box appear where the window system put them.
// Usage: app_screenshots OUTDIR   (run under Xvfb for a real window, or offscreen)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include "about_dlg.h"
#include "fake_sysfs.h"
#include "main_frame.h"
#include "ports_table.h"
#include "recent_downloads.h"
#include "record_sink.h"
#include "scratch_dir.h"
#include "vek_app.h"
#include "vek_view.h"

namespace {

namespace fs = std::filesystem;
using namespace romlift;

// Lets the window system map and paint everything, then takes the screen.
QImage Screen(QWidget& shown) {
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        QTest::qWait(10);
    }
    QScreen* screen = shown.screen();
    QPixmap shot = screen != nullptr ? screen->grabWindow(0) : QPixmap();
    if (shot.isNull() || shot.width() <= 1) {
        shot = shown.window()->grab();
    }
    return shot.toImage();
}

void Save(const QImage& img, const fs::path& dir, const std::string& name, std::ofstream& notes,
          CMainFrame& frame) {
    const fs::path file = dir / (name + ".png");
    img.save(QString::fromStdString(file.string()));
    notes << name << ".png\t" << img.width() << "x" << img.height() << "\tcaption \""
          << frame.windowTitle().toStdString() << "\"\tstatus \""
          << frame.MessagePane()->text().toStdString() << "\"\n";
}

// Opens the menu bar's `index`th menu, highlights its first item, and takes the screen.
void ShotOfMenu(CMainFrame& frame, int index, const fs::path& dir, const std::string& name,
                std::ofstream& notes) {
    QAction* top = frame.menuBar()->actions().at(index);
    frame.menuBar()->setActiveAction(top);
    QMenu* menu = top->menu();
    for (int i = 0; i < 20 && !menu->isVisible(); ++i) {
        QTest::qWait(10);
    }
    menu->setActiveAction(menu->actions().at(0));
    Save(Screen(*menu), dir, name, notes, frame);
    menu->hide();
    QApplication::processEvents();
}

// What a technician's laptop shows: a UART, two USB adapters (one without a serial number), and
// a few downloads in the station's record.
void MakeStation(const fs::path& root) {
    testing::FakeSysfs sys(root / "sys");
    sys.AddTtyS(0, true);
    testing::FakeAdapter ftdi;
    sys.Plug(ftdi);
    testing::FakeAdapter ch340;
    ch340.name = "ttyUSB1";
    ch340.vendor = "1a86";
    ch340.product = "7523";
    ch340.serial = "";
    ch340.usbPort = "1-3";
    ch340.manufacturer = "";
    ch340.productName = "USB Serial";
    ch340.driver = "ch341";
    sys.Plug(ch340);
    fs::create_directories(root / "dev");
    for (const char* node : {"ttyS0", "ttyUSB0", "ttyUSB1"}) {
        std::ofstream(root / "dev" / node);
    }
    setenv("ROMLIFT_SYSFS", (root / "sys").c_str(), 1);
    setenv("ROMLIFT_DEV", (root / "dev").c_str(), 1);

    std::string error;
    auto sink = record::OpenRecordSink((root / "history.sqlite").string(), &error);
    if (sink == nullptr) {
        std::fprintf(stderr, "app_screenshots: %s\n", error.c_str());
        return;
    }
    struct Shown {
        const char* started;
        const char* port;
        const char* model;
        const char* image;
        record::Outcome outcome;
        int frames;
    };
    const Shown shown[] = {
        {"2026-12-09T08:02:11.000Z", "COM1", "VX7R-KT-121B-XXX", "PLQ5A_v2.abs",
         record::Outcome::Confirmed, 400},
        {"2026-12-09T08:06:40.000Z", "COM2", "VX7R-KT-121B-XXX", "PLQ5A_v2.abs",
         record::Outcome::Interrupted, 68},
        {"2026-12-09T08:09:05.000Z", "COM2", "VX7R-KT-121B-XXX", "PLQ5A_v2.abs",
         record::Outcome::Confirmed, 400},
        {"2026-12-09T08:15:30.000Z", "COM3", "VX7R-KT-125B-XXX", "PLQ5C_v7.abs",
         record::Outcome::Failed, 0},
    };
    for (const Shown& s : shown) {
        record::DownloadRow row;
        row.rowKey = record::NewRowKey();
        row.startedUtc = s.started;
        row.endedUtc = s.started;
        row.port = s.port;
        row.model = s.model;
        row.imagePath = "/opt/romlift/bin/drivers/" + std::string(s.image);
        row.framesTotal = 400;
        row.framesConfirmed = s.frames;
        row.outcome = s.outcome;
        std::string notice;
        sink->Complete(row, &notice, &error);
    }
    setenv("ROMLIFT_RECORD", (root / "history.sqlite").c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: app_screenshots OUTDIR\n");
        return 2;
    }
    if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    // The settings the application reads stay in a scratch folder.
    testing::ScratchDir config;
    setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
    setenv("XDG_STATE_HOME", config.Path().c_str(), 1);

    QApplication qapp(argc, argv);
    CVekApp::ConfigureApplication();
    const fs::path out = argv[1];
    fs::create_directories(out);
    std::ofstream notes(out / "app-screenshots.txt");

    testing::ScratchDir station;
    MakeStation(station.Path());

    CVekApp app;
    if (!app.InitInstance(std::nullopt)) {
        std::fprintf(stderr, "app_screenshots: the main window did not start\n");
        return 1;
    }
    CMainFrame& frame = *app.MainFrame();
    for (int i = 0; i < 100 && frame.View()->Downloads()->topLevelItemCount() == 0; ++i) {
        QTest::qWait(20);  // the record is read on a thread of its own
    }
    Save(Screen(frame), out, "main-window", notes, frame);
    {
        PortsTable* ports = frame.View()->Ports();
        ports->setFocus();
        ports->setCurrentItem(ports->topLevelItem(2));
        QMenu* menu = ports->MakeRowMenu();
        menu->popup(
            ports->viewport()->mapToGlobal(ports->visualItemRect(ports->currentItem()).center()));
        Save(Screen(*menu), out, "ports-menu", notes, frame);
        delete menu;
    }
    ShotOfMenu(frame, 0, out, "menu-firmware", notes);
    ShotOfMenu(frame, 1, out, "menu-help", notes);

    CAboutDlg about(&frame);
    about.show();
    Save(Screen(about), out, "about", notes, frame);
    about.hide();

    notes.close();
    std::printf("app_screenshots: pictures in %s\n", out.c_str());
    return 0;
}
