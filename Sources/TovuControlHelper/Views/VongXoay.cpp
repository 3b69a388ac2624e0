#include "Views/VongXoay.hpp"

#include "Views/Kieu.hpp"

#include <QPainter>
#include <QTimerEvent>

namespace tovu {

namespace {
constexpr int soNan = 8;
}

VongXoay::VongXoay(QWidget* parent)
    : QWidget(parent) {
    setFixedSize(16, 16);
}

void VongXoay::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const qreal r = width() / 2.0;
    for (int i = 0; i < soNan; ++i) {
        // The newest spoke is the darkest; the others fade behind it.
        const int tuoi = (buoc_ - i + soNan) % soNan;
        QColor c = Mau::chuPhu();
        c.setAlphaF(1.0f - 0.75f * float(tuoi) / soNan);
        painter.setPen(QPen(c, 2, Qt::SolidLine, Qt::RoundCap));
        painter.save();
        painter.rotate(360.0 * i / soNan);
        painter.drawLine(QPointF(0, -r * 0.45), QPointF(0, -r + 1.5));
        painter.restore();
    }
}

void VongXoay::showEvent(QShowEvent*) {
    timer_.start(100, this);
}

void VongXoay::hideEvent(QHideEvent*) {
    timer_.stop();
}

void VongXoay::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timer_.timerId()) return QWidget::timerEvent(event);
    buoc_ = (buoc_ + 1) % soNan;
    update();
}

} // namespace tovu
