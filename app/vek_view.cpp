#include "vek_view.h"

#include <QPainter>

namespace romlift {

CVekView::CVekView(QWidget* parent) : QWidget(parent) {
    setObjectName("view");
    // The area outside the field shows the system window colour.
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
}

void CVekView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(QPen(Qt::black, 0));
    p.setBrush(QColor(100, 100, 100));
    // QPainter's outline covers both end pixels; the field leaves x = 1100 and y = 800 unpainted.
    p.drawRect(QRect(0, 0, kFieldWidth, kFieldHeight).adjusted(0, 0, -1, -1));
}

}  // namespace romlift
