#pragma once

#include <QColor>
#include <QPushButton>

namespace tovu {

// A full-width rounded button: 15 px semibold label, at least 44 px high, corner radius 12,
// outlined with a 1 px line.
class NutTron : public QPushButton {
    Q_OBJECT
public:
    struct BangMau {
        QColor chu;     // label
        QColor nen;     // fill at rest
        QColor nenNhan; // fill while pressed
        QColor vien;    // outline
    };

    NutTron(const QString& text, BangMau mau, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    BangMau mau_;
};

// Filled button; trang: the white variant.
class NutDac : public NutTron {
    Q_OBJECT
public:
    NutDac(const QString& text, bool trang, QWidget* parent = nullptr);
};

// Outlined button; toi: for a dark background.
class NutVien : public NutTron {
    Q_OBJECT
public:
    NutVien(const QString& text, bool toi, QWidget* parent = nullptr);
};

// A plain text button (the close link).
class NutChu : public QPushButton {
    Q_OBJECT
public:
    NutChu(const QString& text, QColor mau, QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor mau_;
};

} // namespace tovu
