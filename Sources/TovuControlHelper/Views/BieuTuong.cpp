#include "Views/BieuTuong.hpp"

#include <QPainter>
#include <QPainterPathStroker>
#include <initializer_list>
#include <utility>

namespace tovu {

namespace {

using Diem = std::pair<qreal, qreal>;

// A polyline widened to a solid shape with round ends and joins.
QPainterPath net(std::initializer_list<Diem> points, qreal width,
                 Qt::PenCapStyle cap = Qt::RoundCap) {
    QPainterPath line;
    bool first = true;
    for (const auto& [x, y] : points) {
        if (first)
            line.moveTo(x, y);
        else
            line.lineTo(x, y);
        first = false;
    }
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(cap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(line).simplified();
}

QPainterPath hinhTron(qreal cx, qreal cy, qreal r) {
    QPainterPath p;
    p.addEllipse(QPointF(cx, cy), r, r);
    return p;
}

// A four-pointed sparkle.
QPainterPath sao(qreal cx, qreal cy, qreal r) {
    const qreal w = r * 0.28;
    QPainterPath p;
    p.moveTo(cx, cy - r);
    p.cubicTo(cx + w * 0.3, cy - w, cx + w, cy - w * 0.3, cx + r, cy);
    p.cubicTo(cx + w, cy + w * 0.3, cx + w * 0.3, cy + w, cx, cy + r);
    p.cubicTo(cx - w * 0.3, cy + w, cx - w, cy + w * 0.3, cx - r, cy);
    p.cubicTo(cx - w, cy - w * 0.3, cx - w * 0.3, cy - w, cx, cy - r);
    p.closeSubpath();
    return p;
}

QPainterPath khoa() {
    QPainterPath than;
    than.addRoundedRect(QRectF(17, 43, 66, 51), 11, 11);
    QPainterPath lo = hinhTron(50, 63, 7.5);
    QPainterPath chan;
    chan.addRoundedRect(QRectF(46.5, 64, 7, 17), 3.5, 3.5);
    lo = lo.united(chan);
    QPainterPath quai;
    quai.moveTo(30, 46);
    quai.lineTo(30, 30);
    quai.arcTo(QRectF(30, 8, 40, 44), 180, -180);
    quai.lineTo(70, 46);
    QPainterPathStroker stroker;
    stroker.setWidth(10);
    stroker.setCapStyle(Qt::FlatCap);
    return than.subtracted(lo).united(stroker.createStroke(quai)).simplified();
}

QPainterPath trangSao() {
    const QPainterPath trang = hinhTron(44, 56, 42).subtracted(hinhTron(74, 31, 33));
    return trang.united(sao(80, 14, 13)).united(sao(94, 38, 7)).united(sao(66, 36, 6)).simplified();
}

QPainterPath giuTay() {
    QPainterPath long_;
    long_.moveTo(27.5, 46);
    long_.lineTo(77.5, 46);
    long_.lineTo(77.5, 68);
    long_.cubicTo(77.5, 85, 67, 96, 52, 96);
    long_.cubicTo(41, 96, 33, 91, 27, 83);
    long_.lineTo(27.5, 60);
    long_.closeSubpath();
    const qreal ngon = 11;
    return long_.united(net({{33, 58}, {33, 18}}, ngon))
        .united(net({{46, 56}, {46, 9}}, ngon))
        .united(net({{59, 56}, {59, 13}}, ngon))
        .united(net({{72, 60}, {72, 25}}, ngon))
        .united(net({{31, 82}, {15, 57}}, 12.5))
        .simplified();
}

QPainterPath khien() {
    QPainterPath p;
    p.moveTo(50, 5);
    p.cubicTo(61, 13, 73, 17, 86, 18);
    p.lineTo(86, 46);
    p.cubicTo(86, 71, 71, 87, 50, 96);
    p.cubicTo(29, 87, 14, 71, 14, 46);
    p.lineTo(14, 18);
    p.cubicTo(27, 17, 39, 13, 50, 5);
    p.closeSubpath();
    return p;
}

QPainterPath dauCheck(qreal width) {
    return net({{33, 51}, {45, 63}, {68, 38}}, width);
}

} // namespace

BieuTuong::BieuTuong(Hinh hinh, QColor mau, int side, QWidget* parent)
    : QWidget(parent)
    , hinh_(hinh)
    , mau_(std::move(mau)) {
    setFixedSize(side, side);
}

void BieuTuong::setHinh(Hinh hinh) {
    if (hinh == hinh_) return;
    hinh_ = hinh;
    update();
}

QPainterPath BieuTuong::duong(Hinh hinh) {
    switch (hinh) {
    case Hinh::Khoa:
        return khoa();
    case Hinh::TrangSao:
        return trangSao();
    case Hinh::GiuTay:
        return giuTay();
    case Hinh::KhienCheck: {
        QPainterPathStroker vien;
        vien.setWidth(8);
        vien.setJoinStyle(Qt::RoundJoin);
        return vien.createStroke(khien()).united(dauCheck(8)).simplified();
    }
    case Hinh::KhienCheckDac:
        return khien().subtracted(dauCheck(10)).simplified();
    }
    return {};
}

QPixmap BieuTuong::anh(Hinh hinh, const QColor& mau, int side, qreal devicePixelRatio) {
    QPixmap pixmap(QSize(side, side) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(side / 100.0, side / 100.0);
    painter.fillPath(duong(hinh), mau);
    return pixmap;
}

void BieuTuong::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(width() / 100.0, height() / 100.0);
    painter.fillPath(duong(hinh_), mau_);
}

} // namespace tovu
