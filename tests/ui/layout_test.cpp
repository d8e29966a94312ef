// Every text of the three dialogs (Download, file selection, About) shows whole in its box, in the
// dialogs' own font, at whatever scale the binary runs (CTest runs it at 1, 1.5 and 2, with
// QT_SCALE_FACTOR). A binary of its own, on the offscreen platform.
#include <array>

#include <QDialog>
#include <QFontInfo>
#include <QLabel>
#include <QTest>
#include <QtMath>

#include "about_dlg.h"
#include "dialog_template.h"
#include "download_dialog.h"
#include "download_state.h"
#include "file_select_dialog.h"
#include "qt_suites.h"
#include "ui_test_support.h"

namespace romlift {

class LayoutTest : public QObject {
    Q_OBJECT
  private slots:
    // The machine's scripts install the stand-in; without it the texts are not expected to fit.
    void dialogsUseTheTemplateFontsStandIn() {
        DownloadState state;
        CDownloadDlg dlg(state, {programFolder_.Path(), {}});
        QCOMPARE(QFontInfo(dlg.font()).family(), QString(dialog::kTemplateFontStandIn));
        QCOMPARE(dlg.font().pointSize(), 10);
    }

    void downloadTextsWhole() {
        DownloadState state;
        CDownloadDlg dlg(state, {programFolder_.Path(), {}});
        ExpectTextsWhole(dlg);
    }

    void fileSelectTextsWhole() {
        DownloadState state;
        state.driversFolder = programFolder_.Drivers();
        CFileSelectDlg dlg(state);
        ExpectTextsWhole(dlg);
    }

    // The file list's frame is drawn whole at every scale (at 150% its right and bottom lines
    // fell between device pixels and were lost): each side of it holds the frame's dark line.
    void fileListFrameWhole() {
        DownloadState state;
        state.driversFolder = programFolder_.Drivers();
        CFileSelectDlg dlg(state);
        auto* list = dialog::Find<QWidget>(dlg, CFileSelectDlg::kFileList);
        // Painted at the device's pixels, as the window system shows it (the offscreen
        // platform's own grab cuts a fractional scale's picture short).
        const qreal scale = qApp->devicePixelRatio();
        QImage img((QSizeF(dlg.size()) * scale).toSize(), QImage::Format_RGB32);
        img.setDevicePixelRatio(scale);
        img.fill(Qt::white);
        dlg.render(&img);
        const QRect r = list->geometry();
        const int left = qRound(r.left() * scale);
        const int right = qRound((r.left() + r.width()) * scale) - 1;
        const int top = qRound(r.top() * scale);
        const int bottom = qRound((r.top() + r.height()) * scale) - 1;
        // A one-pixel line lies within the last `scale` device pixels of a side.
        const int band = qCeil(scale);
        const auto dark = [&](int x, int y) {
            for (int d = 0; d < band; ++d) {
                const int px = x == right ? x - d : x == left ? x + d : x;
                const int py = y == bottom ? y - d : y == top ? y + d : y;
                if (img.pixelColor(px, py).lightness() < img.pixelColor(2, 2).lightness() - 40) {
                    return true;
                }
            }
            return false;
        };
        const int midX = (left + right) / 2;
        const int midY = (top + bottom) / 2;
        QVERIFY2(dark(left, midY) && dark(right, midY) && dark(midX, top) && dark(midX, bottom),
                 qPrintable(QStringLiteral("scale %1: edges %2 %3 %4 %5")
                                .arg(scale)
                                .arg(dark(left, midY))
                                .arg(dark(right, midY))
                                .arg(dark(midX, top))
                                .arg(dark(midX, bottom))));
    }

    void aboutTextsWhole() {
        CAboutDlg dlg;
        ExpectTextsWhole(dlg);
        // The icon whole too, as an icon control sizes itself to its icon.
        const auto* icon = dlg.findChild<QLabel*>("icon");
        QVERIFY(icon != nullptr);
        const QSizeF shown = icon->pixmap().deviceIndependentSize();
        QVERIFY2(icon->contentsRect().width() >= shown.width() &&
                     icon->contentsRect().height() >= shown.height(),
                 qPrintable(QStringLiteral("icon %1 x %2 in %3 x %4")
                                .arg(shown.width())
                                .arg(shown.height())
                                .arg(icon->contentsRect().width())
                                .arg(icon->contentsRect().height())));
    }

    // The measure itself: a label one unit short of its text, and a button too narrow for its
    // own, are reported; the same texts in the template's boxes are not.
    void aTextTooWideIsReported() {
        constexpr unsigned kRight = dialog::kRight | dialog::kVCenter;
        constexpr std::array kControls{
            dialog::Control{1031, dialog::Kind::Static, "Select Unit :-", 9, 18, 35, 11, kRight},
            dialog::Control{1, dialog::Kind::PushButton, "Download", 228, 10, 24, 14, 0},
            dialog::Control{1032, dialog::Kind::Static, "Select Port :-", 9, 59, 39, 11, kRight},
        };
        QDialog dlg;
        dialog::Build(dlg, {"narrow", 279, 139, 10, kControls});
        const QStringList cut = ui_testing::TextsCut(dlg);
        QVERIFY2(cut.size() == 2, qPrintable(cut.join("; ")));
        QVERIFY2(cut[0].startsWith("1031 \"Select Unit :-\""), qPrintable(cut[0]));
        QVERIFY2(cut[1].startsWith("1 \"Download\""), qPrintable(cut[1]));
    }

  private:
    static void ExpectTextsWhole(QWidget& dlg) {
        ui_testing::ShowAndWait(dlg);
        const QStringList cut = ui_testing::TextsCut(dlg);
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join("; ")));
    }

    ui_testing::ProgramFolder programFolder_;
};

}  // namespace romlift

int main(int argc, char** argv) {
    return romlift::testing::RunQtSuites(argc, argv, {{"layout", [](int c, char** v) {
                                                           romlift::LayoutTest t;
                                                           return QTest::qExec(&t, c, v);
                                                       }}});
}

#include "layout_test.moc"
