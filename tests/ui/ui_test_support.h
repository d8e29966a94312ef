// Shared by the widget tests: a scratch program folder with drivers/, firmware files in it, ways
// to show dialogs and press their buttons, and ways to look at painted pixels.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <QAbstractButton>
#include <QComboBox>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QWidget>

#include "dialog_template.h"
#include "download_prompts.h"
#include "file_select_dialog.h"
#include "scratch_dir.h"
#include "seeded_image.h"

namespace romlift::ui_testing {

using Bytes = std::vector<uint8_t>;

// A fresh program folder under /tmp with an empty drivers/ in it; removed when the object goes.
class ProgramFolder {
  public:
    ProgramFolder() { std::filesystem::create_directory(Drivers()); }
    ~ProgramFolder() {
        std::error_code ec;
        // The locator makes the program folder current; step out before removing it.
        std::filesystem::current_path("/tmp", ec);
    }
    ProgramFolder(const ProgramFolder&) = delete;
    ProgramFolder& operator=(const ProgramFolder&) = delete;

    const std::filesystem::path& Path() const { return dir_.Path(); }
    std::filesystem::path Drivers() const { return Path() / "drivers"; }

    // Writes drivers/<name>; returns the bytes written.
    Bytes AddFirmware(const std::string& name, size_t size, uint32_t seed = 7) const {
        Bytes b = romlift::testing::SeededImage(size, seed);
        dir_.Write("drivers/" + name, b);
        return b;
    }

  private:
    romlift::testing::ScratchDir dir_{"romlift-ui-prog"};
};

// Shows `w` and waits until the window system has exposed it.
inline void ShowAndWait(QWidget& w) {
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
}

// A left click on the push button `id` of `dlg`.
inline void Press(QWidget& dlg, int id) {
    QTest::mouseClick(dialog::Find<QPushButton>(dlg, id), Qt::LeftButton);
}

// The Download dialog's prompts with the choice among several files cancelled by Escape.
inline DownloadPrompts EscapeTheChoice() {
    DownloadPrompts prompts;
    prompts.fileSelect = [](CFileSelectDlg& select) {
        select.show();
        QTest::keyClick(&select, Qt::Key_Escape);
        return select.result();
    };
    return prompts;
}

// The widget's inner pixels (inside its frame) as painted now.
inline QImage InnerPixels(QWidget& w) {
    return w.grab(w.contentsRect()).toImage();
}

// Horizontal bands of rows that hold a pixel clearly darker than the corner pixel: the lines of
// text a label shows.
inline int TextBands(const QImage& img, int margin) {
    const QColor bg = img.pixelColor(margin, margin);
    int bands = 0;
    bool inBand = false;
    for (int y = margin; y < img.height() - margin; ++y) {
        bool ink = false;
        for (int x = margin; x < img.width() - margin && !ink; ++x) {
            ink = img.pixelColor(x, y).lightness() + 60 < bg.lightness();
        }
        if (ink && !inBand) {
            ++bands;
        }
        inBand = ink;
    }
    return bands;
}

// The texts of `dialog`'s controls (static texts, push and radio buttons, the entries of a
// drop-down list) that do not fit the room their control gives them, each described with both
// widths in pixels; empty when all show whole. The room is where the style draws the text: a
// label's contents, a button's contents inside its frame, a radio button's right of its indicator.
inline QStringList TextsCut(const QWidget& dialog) {
    QStringList cut;
    const auto check = [&](const QWidget& w, const QString& text, const QRect& room) {
        if (text.isEmpty()) {
            return;
        }
        // Across, the text's own advance; down, the font's line height in whole pixels, the
        // measure the dialog units are made of (a text exactly one line high fits).
        const double width = QFontMetricsF(w.font(), &w).horizontalAdvance(text);
        const int height = QFontMetrics(w.font(), &w).height();
        if (width > room.width() || height > room.height()) {
            cut << QStringLiteral("%1 \"%2\": %3 x %4 px in %5 x %6")
                       .arg(w.objectName(), text)
                       .arg(width, 0, 'f', 1)
                       .arg(height)
                       .arg(room.width())
                       .arg(room.height());
        }
    };
    for (const QWidget* w : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (const auto* l = qobject_cast<const QLabel*>(w)) {
            if (!l->wordWrap()) {
                check(*l, l->text(), l->contentsRect());
            }
        } else if (const auto* b = qobject_cast<const QAbstractButton*>(w)) {
            QStyleOptionButton opt;
            opt.initFrom(b);
            opt.text = b->text();
            opt.iconSize = b->iconSize();
            QStyle::SubElement contents = QStyle::SE_PushButtonContents;
            if (qobject_cast<const QRadioButton*>(b) != nullptr) {
                contents = QStyle::SE_RadioButtonContents;
            } else if (const auto* p = qobject_cast<const QPushButton*>(b)) {
                if (p->autoDefault() || p->isDefault()) {
                    opt.features |= QStyleOptionButton::AutoDefaultButton;
                }
            }
            check(*b, b->text(), b->style()->subElementRect(contents, &opt, b));
        } else if (const auto* c = qobject_cast<const QComboBox*>(w)) {
            QStyleOptionComboBox opt;
            opt.initFrom(c);
            opt.editable = c->isEditable();
            const QRect field = c->style()->subControlRect(QStyle::CC_ComboBox, &opt,
                                                           QStyle::SC_ComboBoxEditField, c);
            for (int i = 0; i < c->count(); ++i) {
                check(*c, c->itemText(i), field);
            }
        }
    }
    return cut;
}

}  // namespace romlift::ui_testing
