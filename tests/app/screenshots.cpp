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
#include "main_frame.h"
#include "scratch_dir.h"
#include "vek_app.h"

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

    CVekApp app;
    if (!app.InitInstance(std::nullopt)) {
        std::fprintf(stderr, "app_screenshots: the main window did not start\n");
        return 1;
    }
    CMainFrame& frame = *app.MainFrame();
    Save(Screen(frame), out, "main-window", notes, frame);
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
