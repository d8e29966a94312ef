#include "progress_area.h"

#include <QPainter>

namespace romlift {

ProgressArea::ProgressArea(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
}

void ProgressArea::FitImage() {
    const QSize size = contentsRect().size();
    if (bar_.size() != size) {
        bar_ = QImage(size, QImage::Format_ARGB32_Premultiplied);
        bar_.fill(Qt::transparent);
    }
}

void ProgressArea::PaintBar(int x) {
    FitImage();
    if (x > 1) {
        QPainter p(&bar_);
        p.fillRect(QRect(QPoint(1, 1), QPoint(x - 1, 14)), Qt::black);
        if (x > 3) {
            p.fillRect(QRect(QPoint(2, 2), QPoint(x - 2, 13)), QColor(128, 0, 0));
        }
    }
    repaint();
}

void ProgressArea::EraseBar() {
    bar_ = QImage();
}

void ProgressArea::paintEvent(QPaintEvent* event) {
    FitImage();
    {
        QPainter p(this);
        p.fillRect(contentsRect(), palette().window());
        p.drawImage(contentsRect().topLeft(), bar_);
    }
    QFrame::paintEvent(event);
}

}  // namespace romlift
