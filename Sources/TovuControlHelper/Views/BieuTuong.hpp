#pragma once

#include <QColor>
#include <QPainterPath>
#include <QPixmap>
#include <QWidget>

namespace tovu {

// The agent's own vector icons, drawn in a square.
class BieuTuong : public QWidget {
    Q_OBJECT
public:
    enum class Hinh {
        Khoa,         // closed padlock
        TrangSao,     // crescent moon with stars
        GiuTay,       // raised hand
        KhienCheck,   // shield with a check mark, outlined
        KhienCheckDac // shield with a check mark, filled
    };

    // side: the square's side in logical pixels.
    BieuTuong(Hinh hinh, QColor mau, int side, QWidget* parent = nullptr);

    Hinh hinh() const { return hinh_; }
    void setHinh(Hinh hinh);

    // The shape in a 100 × 100 square.
    static QPainterPath duong(Hinh hinh);
    // The icon as an image, for places that take one (the menu bar).
    static QPixmap anh(Hinh hinh, const QColor& mau, int side, qreal devicePixelRatio = 1.0);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Hinh hinh_;
    QColor mau_;
};

} // namespace tovu
