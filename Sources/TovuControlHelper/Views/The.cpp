#include "Views/The.hpp"

#include "Views/Kieu.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace tovu {

The::The(int cornerRadius, int spacing, QWidget* parent)
    : QWidget(parent)
    , cot_(new QVBoxLayout(this))
    , bo_(cornerRadius) {
    cot_->setContentsMargins(dem, dem, dem, dem);
    cot_->setSpacing(spacing);
    setFixedWidth(rong);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    Kieu::toMau(this, Mau::chuThe());
}

QSize The::sizeHint() const {
    const int h = cot_->hasHeightForWidth() ? cot_->totalHeightForWidth(rong)
                                            : cot_->totalSizeHint().height();
    return {rong, h};
}

void The::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath nen;
    nen.addRoundedRect(QRectF(rect()), bo_, bo_);
    painter.fillPath(nen, Qt::white);
}

} // namespace tovu
