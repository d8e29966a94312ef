// make_icon_png SIZE FILE: writes the program's icon, drawn by ProgramPixmap, as a SIZE x SIZE
// PNG. The build runs it so the desktop icons are always the ones the window shows.
#include <QGuiApplication>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "icon.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_icon_png SIZE FILE\n");
        return 2;
    }
    char* end = nullptr;
    const long size = std::strtol(argv[1], &end, 10);
    if (*argv[1] == '\0' || *end != '\0' || size < 1 || size > 1024) {
        std::fprintf(stderr, "make_icon_png: '%s' is not a size 1..1024\n", argv[1]);
        return 2;
    }
    // A QPixmap needs a GUI application, but a build machine has no display.
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QGuiApplication app(argc, argv);
    const QPixmap pm = romlift::ProgramPixmap(static_cast<int>(size));
    if (!pm.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "make_icon_png: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
