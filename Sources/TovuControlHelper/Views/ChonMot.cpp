#include "Views/ChonMot.hpp"

#include "TovuCore/Rules.hpp"
#include "Views/Kieu.hpp"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>

namespace tovu {

namespace {

// One segment: a plain label on a white rounded plate when selected (checked).
class Doan : public QAbstractButton {
public:
    Doan(int phut, QWidget* parent)
        : QAbstractButton(parent) {
        setText(Kieu::qs(Rules::gio(phut)));
        setCheckable(true);
        setAutoExclusive(false);
        setFocusPolicy(Qt::NoFocus);
        setFont(Kieu::phong(14, QFont::DemiBold));
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setCursor(Qt::PointingHandCursor);
    }

    QSize sizeHint() const override { return {fontMetrics().horizontalAdvance(text()) + 20, 36}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isChecked()) {
            QPainterPath plate;
            plate.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 9, 9);
            painter.fillPath(plate, Qt::white);
            painter.strokePath(plate, QPen(QColor::fromRgbF(0, 0, 0, 0.08f), 1));
        }
        painter.setPen(isChecked() ? Mau::xanhInk() : Mau::chuPhu());
        painter.setFont(font());
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text());
    }

    // Selection belongs to the enclosing view: a click only reports.
    void nextCheckState() override {}
};

} // namespace

ChonMot::ChonMot(QWidget* parent)
    : QWidget(parent)
    , hang_(new QHBoxLayout(this)) {
    hang_->setContentsMargins(4, 4, 4, 4);
    hang_->setSpacing(4);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void ChonMot::setDs(std::vector<int> ds) {
    if (ds == ds_) return;
    ds_ = std::move(ds);
    while (QLayoutItem* item = hang_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (int n : ds_) {
        auto* doan = new Doan(n, this);
        doan->setChecked(n == chon_);
        connect(doan, &QAbstractButton::clicked, this, [this, n] { emit chonDoi(n); });
        hang_->addWidget(doan, 1);
    }
}

void ChonMot::setChon(int n) {
    chon_ = n;
    for (int i = 0; i < hang_->count(); ++i)
        static_cast<QAbstractButton*>(hang_->itemAt(i)->widget())
            ->setChecked(ds_[std::size_t(i)] == n);
}

void ChonMot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath nen;
    nen.addRoundedRect(QRectF(rect()), 12, 12);
    painter.fillPath(nen, QColor::fromRgbF(0.95f, 0.95f, 0.95f));
}

} // namespace tovu
