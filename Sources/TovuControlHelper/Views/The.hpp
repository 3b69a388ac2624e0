#pragma once

#include <QWidget>

class QVBoxLayout;

namespace tovu {

// A white card exactly 380 px wide: a column of items aligned to the leading edge, 22 px of
// padding, card text colour by default.
class The : public QWidget {
    Q_OBJECT
public:
    static constexpr int rong = 380;
    static constexpr int dem = 22;

    The(int cornerRadius, int spacing, QWidget* parent = nullptr);

    QVBoxLayout* cot() const { return cot_; }

    // Exactly as tall as its column needs at the card's width.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* cot_;
    int bo_;
};

} // namespace tovu
