#include "dialog_template.h"

#include <cmath>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include "progress_area.h"

namespace romlift::dialog {

QRect Units::ToPixels(int dx, int dy, int dw, int dh) const {
    const auto px = [](double v) { return static_cast<int>(std::lround(v)); };
    return QRect(px(dx * x), px(dy * y), px(dw * x), px(dh * y));
}

Units UnitsFor(const QFont& font) {
    // As Windows converts a template's units for its font: the width of the 52 letters over 26,
    // plus one, halved, in whole pixels (the average letter width rounded), and the font's height
    // in whole pixels. The rounding belongs to the layout the templates were drawn against.
    const QFontMetrics m(font);
    const int letters =
        m.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int baseX = (letters / 26 + 1) / 2;
    return Units{baseX / 4.0, m.height() / 8.0};
}

QFont DialogFont(int pointSize) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (QFontDatabase::hasFamily(QString::fromUtf8(kTemplateFontStandIn))) {
        font = QFont(QString::fromUtf8(kTemplateFontStandIn));
    }
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(pointSize);
    return font;
}

namespace {

// Window managers that keep a minimize button against the hints (openbox keeps it on every
// window) can hide a modal dialog and leave its disabled owner with nothing to click: the dialog
// comes straight back, as a modal frame without that button would have stayed.
class StayShown : public QObject {
  public:
    explicit StayShown(QDialog& dialog) : QObject(&dialog), dialog_(dialog) {
        dialog.installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &dialog_ && event->type() == QEvent::WindowStateChange &&
            dialog_.isMinimized()) {
            QMetaObject::invokeMethod(
                &dialog_,
                [d = &dialog_] {
                    if (d->isVisible()) {  // not when it was closed meanwhile
                        d->setWindowState(d->windowState() & ~Qt::WindowMinimized);
                        d->show();
                        d->raise();
                        d->activateWindow();
                    }
                },
                Qt::QueuedConnection);
        }
        return false;
    }

  private:
    QDialog& dialog_;
};

// A list whose outline is drawn again on whole device pixels: at a fractional scale (150%) the
// style's outline falls between pixels on the right and at the bottom and is lost.
class OutlinedList : public QTreeWidget {
  public:
    using QTreeWidget::QTreeWidget;

  protected:
    bool event(QEvent* e) override {
        const bool done = QTreeWidget::event(e);
        if (e->type() == QEvent::Paint && frameShape() != QFrame::NoFrame) {
            QPainter p(this);
            const qreal px = 1.0 / devicePixelRatioF();
            p.setPen(QPen(palette().color(QPalette::Window).darker(140), 0));
            p.setBrush(Qt::NoBrush);
            p.drawRect(QRectF(0, 0, width() - px, height() - px));
        }
        return done;
    }
};

QWidget* Make(const Control& c, QDialog& dialog) {
    const QString text = QString::fromUtf8(c.text);
    switch (c.kind) {
        case Kind::PushButton: {
            auto* b = new QPushButton(text, &dialog);
            b->setDefault((c.style & kDefault) != 0);
            return b;
        }
        case Kind::ComboBox:
            return new QComboBox(&dialog);
        case Kind::ProgressArea:
            return new ProgressArea(&dialog);
        case Kind::Static: {
            auto* l = new QLabel(text, &dialog);
            l->setTextFormat(Qt::PlainText);  // a file name with '<' must show as written
            Qt::Alignment a = (c.style & kCenter)  ? Qt::AlignHCenter
                              : (c.style & kRight) ? Qt::AlignRight
                                                   : Qt::AlignLeft;
            a |= (c.style & (kVCenter | kCenter)) ? Qt::AlignVCenter : Qt::AlignTop;
            l->setAlignment(a);
            l->setWordWrap((c.style & kWordWrap) != 0);
            if (c.style & kSunken) {
                l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
                l->setLineWidth(1);
            }
            return l;
        }
        case Kind::GroupBox: {
            auto* g = new QGroupBox(text, &dialog);
            g->setAttribute(Qt::WA_TransparentForMouseEvents);
            return g;
        }
        case Kind::RadioButton: {
            auto* r = new QRadioButton(text, &dialog);
            r->setAutoExclusive(true);
            return r;
        }
        case Kind::ListView:
            return new OutlinedList(&dialog);
    }
    return nullptr;
}

}  // namespace

namespace {

// At a fractional scale (150%) a control whose edge falls between two device pixels loses the
// line drawn there: the file list showed no right or bottom border. Each edge moves to the
// nearest logical pixel that is a whole device pixel.
int OnDevicePixel(int v, qreal scale) {
    for (int d : {0, 1, -1, 2, -2}) {
        const qreal device = (v + d) * scale;
        if (std::abs(device - std::round(device)) < 1e-6) {
            return v + d;
        }
    }
    return v;
}

QRect OnDevicePixels(const QRect& r, qreal scale) {
    const int left = OnDevicePixel(r.left(), scale);
    const int top = OnDevicePixel(r.top(), scale);
    const int right = OnDevicePixel(r.left() + r.width(), scale);
    const int bottom = OnDevicePixel(r.top() + r.height(), scale);
    return QRect(left, top, right - left, bottom - top);
}

}  // namespace

void ModalFrame(QDialog& dialog) {
    // Title bar and close box only, so the window manager offers no minimize or maximize for a
    // box that must stay over its owner.
    dialog.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    new StayShown(dialog);
}

void Build(QDialog& dialog, const Template& t) {
    const QFont font = DialogFont(t.pointSize);
    const Units u = UnitsFor(font);
    dialog.setFont(font);
    dialog.setWindowTitle(QString::fromUtf8(t.caption));
    const qreal scale = qApp->devicePixelRatio();
    dialog.setFixedSize(OnDevicePixels(u.ToPixels(0, 0, t.w, t.h), scale).size());
    ModalFrame(dialog);

    QWidget* previousStop = nullptr;
    for (const Control& c : t.controls) {
        QWidget* w = Make(c, dialog);
        if (c.id != kNoId) {
            w->setObjectName(QString::number(c.id));
        }
        QRect r = u.ToPixels(c.x, c.y, c.w, c.h);
        if (c.kind == Kind::ComboBox) {
            // The template's height is the dropped-down list; the closed box keeps its own.
            r.setHeight(w->sizeHint().height());
        }
        r = OnDevicePixels(r, scale);
        w->setGeometry(r);
        if (c.kind == Kind::GroupBox) {
            w->lower();
        }
        if (c.style & kTabStop) {
            w->setFocusPolicy(Qt::StrongFocus);
            if (previousStop != nullptr) {
                QWidget::setTabOrder(previousStop, w);
            }
            previousStop = w;
        } else if (w->focusPolicy() != Qt::NoFocus) {
            w->setFocusPolicy(Qt::ClickFocus);
        }
    }
}

}  // namespace romlift::dialog
