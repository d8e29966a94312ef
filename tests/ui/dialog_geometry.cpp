// Where the Download and file selection dialogs put their controls, in logical pixels of each
// dialog's client area, for the X11 test that clicks them and masks them in its pictures.
// Usage: dialog_geometry PROGRAM_FOLDER   (its drivers/ holds the files the selection lists)
// Prints "download ID X Y W H", "select ID X Y W H" and "select row0 X Y" (a point on the first
// row). It lays the dialogs out offscreen, with the fonts the real program uses.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include <QApplication>
#include <QTreeWidget>

#include "dialog_template.h"
#include "download_dialog.h"
#include "download_state.h"
#include "file_select_dialog.h"

namespace {

void Print(const char* dialogName, const QWidget& dlg, int id) {
    if (const QWidget* w = romlift::dialog::Find<QWidget>(dlg, id)) {
        const QRect r = w->geometry();
        std::printf("%s %d %d %d %d %d\n", dialogName, id, r.x(), r.y(), r.width(), r.height());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dialog_geometry PROGRAM_FOLDER\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    unsetenv("QT_SCALE_FACTOR");  // logical pixels; the caller scales
    QApplication app(argc, argv);
    using romlift::CDownloadDlg;
    using romlift::CFileSelectDlg;

    const std::filesystem::path program = argv[1];
    romlift::DownloadState state;
    CDownloadDlg download(state, {program, {}});
    for (int id : {CDownloadDlg::kDownload, CDownloadDlg::kClose, CDownloadDlg::kProgress,
                   CDownloadDlg::kStatus, CDownloadDlg::kModelList}) {
        Print("download", download, id);
    }

    state.programFolder = program.string() + "/";
    state.driversFolder = program / "drivers";
    CFileSelectDlg select(state);
    select.show();
    QApplication::processEvents();
    for (int id : {CFileSelectDlg::kOk, CFileSelectDlg::kCancel, CFileSelectDlg::kFileList}) {
        Print("select", select, id);
    }
    auto* list = romlift::dialog::Find<QTreeWidget>(select, CFileSelectDlg::kFileList);
    if (list != nullptr && list->topLevelItemCount() > 0) {
        const QRect row = list->visualItemRect(list->topLevelItem(0));
        const QPoint at =
            list->viewport()->mapTo(&select, QPoint(row.left() + 30, row.center().y()));
        std::printf("select row0 %d %d\n", at.x(), at.y());
    }
    return 0;
}
