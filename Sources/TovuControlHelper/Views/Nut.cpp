#include "Views/Nut.hpp"

#include "Views/Kieu.hpp"

#include <QPainter>
#include <QPainterPath>

namespace tovu {

namespace {

constexpr int caoToiThieu = 44;
constexpr qreal bo = 12;

QColor den(double opacity) {
    return QColor::fromRgbF(0, 0, 0, float(opacity));
}
QColor trang(double opacity) {
    return QColor::fromRgbF(1, 1, 1, float(opacity));
}

} // namespace

NutTron::NutTron(const QString& text, BangMau mau, QWidget* parent)
    : QPushButton(text, parent)
    , mau_(std::move(mau)) {
    setFont(Kieu::phong(15, QFont::DemiBold));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
}

QSize NutTron::sizeHint() const {
    const int w = fontMetrics().horizontalAdvance(text()) + 32;
    return {w, caoToiThieu};
}

QSize NutTron::minimumSizeHint() const {
    return sizeHint();
}

void NutTron::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) painter.setOpacity(0.55);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(r, bo, bo);
    painter.fillPath(shape, isDown() ? mau_.nenNhan : mau_.nen);
    painter.strokePath(shape, QPen(mau_.vien, 1));
    painter.setPen(mau_.chu);
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text());
}

NutDac::NutDac(const QString& text, bool laTrang, QWidget* parent)
    : NutTron(text,
              laTrang ? BangMau{tovu::Mau::xanhInk(), Qt::white, Qt::white, den(0.1)}
                      : BangMau{Qt::white, tovu::Mau::xanh(), tovu::Mau::xanhInk(), den(0)},
              parent) {}

NutVien::NutVien(const QString& text, bool toi, QWidget* parent)
    : NutTron(text,
              toi ? BangMau{Qt::white, trang(0.14), trang(0.25), trang(0.5)}
                  : BangMau{tovu::Mau::chuChinh(), Qt::white, Qt::white, den(0.12)},
              parent) {}

NutChu::NutChu(const QString& text, QColor mau, QWidget* parent)
    : QPushButton(text, parent)
    , mau_(std::move(mau)) {
    setFont(Kieu::phong(Kieu::coChu));
    setCursor(Qt::PointingHandCursor);
}

QSize NutChu::sizeHint() const {
    return {fontMetrics().horizontalAdvance(text()) + 16, fontMetrics().height() + 8};
}

void NutChu::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(isDown() ? mau_.darker(140) : mau_);
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text());
}

} // namespace tovu
