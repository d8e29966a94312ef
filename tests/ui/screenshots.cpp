// Pictures of both dialogs for a person to compare with their control tables: for each dialog a
// plain screenshot, one with the table's rectangles drawn over it in red, and a text file listing
// each control's table rectangle (dialog units and pixels) next to where the widget really is.
// Usage: ui_screenshots OUTDIR   (run under Xvfb for a real window, or offscreen)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <QApplication>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include "download_dialog.h"
#include "download_state.h"
#include "file_select_dialog.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace romlift;

void Save(QDialog& dlg, const dialog::Template& t, const fs::path& dir, const std::string& name) {
    dlg.show();
    QApplication::processEvents();
    QImage shot = dlg.grab().toImage();
    if (QScreen* screen = dlg.windowHandle() != nullptr ? dlg.windowHandle()->screen() : nullptr) {
        const QPixmap real = screen->grabWindow(dlg.winId());
        if (!real.isNull() && real.width() > 1) {
            shot = real.toImage();
        }
    }
    shot.save(QString::fromStdString((dir / (name + ".png")).string()));

    const dialog::Units u = dialog::UnitsFor(dlg.font());
    QImage overlay = shot.convertToFormat(QImage::Format_ARGB32);
    QPainter p(&overlay);
    p.setPen(QPen(QColor(255, 0, 0, 200), 1));
    std::ofstream geo(dir / (name + "-geometry.txt"));
    geo << t.caption << ": " << t.w << " x " << t.h << " dialog units, client " << dlg.width()
        << " x " << dlg.height() << " px; one unit = " << u.x << " x " << u.y << " px\n";
    geo << "id\tkind\ttext\ttable (du)\ttable (px)\twidget (px)\n";
    for (const dialog::Control& c : t.controls) {
        const QRect want = u.ToPixels(c.x, c.y, c.w, c.h);
        p.drawRect(want.adjusted(0, 0, -1, -1));
        QRect have;
        if (c.id != dialog::kNoId) {
            if (QWidget* w = dialog::Find<QWidget>(dlg, c.id)) {
                have = w->geometry();
            }
        }
        auto rect = [](const QRect& r) {
            return std::to_string(r.x()) + "," + std::to_string(r.y()) + " " +
                   std::to_string(r.width()) + "x" + std::to_string(r.height());
        };
        geo << (c.id == dialog::kNoId ? std::string("-") : std::to_string(c.id)) << '\t'
            << static_cast<int>(c.kind) << "\t\"" << c.text << "\"\t" << c.x << ',' << c.y << ' '
            << c.w << 'x' << c.h << '\t' << rect(want) << '\t'
            << (have.isNull() ? std::string("-") : rect(have)) << '\n';
    }
    p.end();
    overlay.save(QString::fromStdString((dir / (name + "-table.png")).string()));
    dlg.hide();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ui_screenshots OUTDIR\n");
        return 2;
    }
    if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    const fs::path out = argv[1];
    fs::create_directories(out);

    testing::ScratchDir dir;
    setenv("XDG_STATE_HOME", dir.Path().c_str(), 1);  // the download record
    fs::create_directory(dir.Path() / "drivers");
    dir.Write("drivers/PLQ5A_v1.abs", std::vector<uint8_t>(1234, 1));
    dir.Write("drivers/PLQ5A_v2.abs", std::vector<uint8_t>(20000, 2));
    dir.Write("drivers/PLQ5A_v3.abs", std::vector<uint8_t>(65551, 3));

    DownloadState state;
    LocateOptions where;
    where.programFolder = dir.Path();
    {
        CDownloadDlg dlg(state, where);
        dlg.SetStatus(
            "Downloading file PLQ5A_v3.abs to selected unit.\nThis takes a long time, please "
            "wait...");
        state.totalFrames = 25;
        state.frameCounter = 11;
        dlg.PaintProgress(87);
        Save(dlg, CDownloadDlg::Layout(), out, "download");
    }
    {
        // A port with no device behind its number: the advice line says so and how to mend it.
        testing::ScratchDir lone;
        fs::create_directories(lone.Path() / "sys" / "class" / "tty");
        fs::create_directories(lone.Path() / "drivers");
        lone.Write("drivers/PLQ5A_v4.abs", std::vector<uint8_t>(4000, 4));
        setenv("ROMLIFT_SYSFS", (lone.Path() / "sys").c_str(), 1);
        setenv("XDG_CONFIG_HOME", lone.Path().c_str(), 1);
        unsetenv("ROMLIFT_COM1");
        DownloadState s;
        LocateOptions one;
        one.programFolder = lone.Path();
        CDownloadDlg dlg(s, one);
        dlg.show();
        dialog::Find<QPushButton>(dlg, CDownloadDlg::kDownload)->click();
        Save(dlg, CDownloadDlg::Layout(), out, "download-advice");
    }
    {
        // What the locator leaves for the selection: the folders and the model's prefix.
        state.modelPrefix = "PLQ5A";
        state.programFolder = dir.Path().string() + "/";
        state.driversFolder = dir.Path() / "drivers";
        CFileSelectDlg dlg(state);
        Save(dlg, CFileSelectDlg::Layout(), out, "file-select");
    }
    return 0;
}
