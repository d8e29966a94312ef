// Dialogs described as tables of controls in dialog units, the way their resource templates lay
// them out, and the one builder that turns such a table into widgets.
#pragma once

#include <span>

#include <QFont>
#include <QRect>
#include <QWidget>

class QDialog;

namespace romlift::dialog {

enum class Kind { PushButton, ComboBox, ProgressArea, Static, GroupBox, RadioButton, ListView };

// Style bits; each control kind reads only those that make sense for it.
enum Style : unsigned {
    kTabStop = 1u << 0,
    kDefault = 1u << 1,   // push button: Enter presses it
    kBorder = 1u << 2,    // thin black outline
    kCenter = 1u << 3,    // static: text centred
    kRight = 1u << 4,     // static: text right-aligned
    kVCenter = 1u << 5,   // static: text vertically centred
    kWordWrap = 1u << 6,  // static: long lines wrap
    kSunken = 1u << 7,    // static: thin sunken edge
};

inline constexpr int kNoId = -1;

struct Control {
    int id;  // kNoId: the control gets no objectName
    Kind kind;
    const char* text;
    int x, y, w, h;  // dialog units
    unsigned style;
};

struct Template {
    const char* caption;
    int w, h;  // client size, dialog units
    int pointSize;
    std::span<const Control> controls;
};

// Pixels per dialog unit for a font, as Windows computes them: a quarter of its average letter
// width rounded to whole pixels across, an eighth of its height down.
struct Units {
    double x;
    double y;
    QRect ToPixels(int dx, int dy, int dw, int dh) const;
};
Units UnitsFor(const QFont& font);

// The templates name "MS Sans Serif", which Linux does not have. Liberation Sans (Debian package
// fonts-liberation2, a dependency of ours) keeps their texts inside their boxes; the desktop's
// sans fonts run wider and cut the right-aligned labels on their left.
inline constexpr const char* kTemplateFontStandIn = "Liberation Sans";

// Liberation Sans at the template's size, or the desktop's default sans font when it is absent.
QFont DialogFont(int pointSize);

// Sets caption, font and fixed client size of `dialog` and creates the controls as its direct
// children in table order. Tab order follows the table among kTabStop controls; controls without
// it take no keyboard focus by Tab. Group boxes sit beneath the other controls and let mouse
// clicks through to them, as frames do in the original layout. The dialog gets a modal frame
// (ModalFrame).
void Build(QDialog& dialog, const Template& t);

// Gives `dialog` a modal frame: a title bar and a close box, nothing to minimize or maximize. Where
// a window manager minimizes it all the same (openbox offers it on every window), it comes
// straight back, so its disabled owner is never left with nothing to click.
void ModalFrame(QDialog& dialog);

// The control with this id among the dialog's children, or nullptr.
template <class W>
W* Find(const QWidget& dialog, int id) {
    return dialog.findChild<W*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

}  // namespace romlift::dialog
