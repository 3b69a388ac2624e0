#include "Views/ManKhoa.hpp"

#include "Model.hpp"
#include "Views/BieuTuong.hpp"
#include "Views/HopXin.hpp"
#include "Views/Kieu.hpp"
#include "Views/Nut.hpp"

#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QVBoxLayout>

namespace tovu {

namespace {

QColor trang(float opacity) {
    return QColor::fromRgbF(1, 1, 1, opacity);
}

bool gioNgu(const std::optional<Policy>& policy) {
    return policy && policy->lockReason == "ngu";
}

} // namespace

ManKhoa::ManKhoa(HelperModel& m, bool doi, QWidget* parent)
    : QWidget(parent)
    , m_(m)
    , doi_(doi)
    , icon_(new BieuTuong(BieuTuong::Hinh::Khoa, Qt::white, 52, this))
    , tieuDe_(Kieu::nhan({}, 34, QFont::Bold, Qt::white, this))
    , phu_(Kieu::nhan({}, 17, QFont::Normal, trang(0.92f), this))
    , hop_(new HopXin(m, std::nullopt, std::nullopt, doi, 60, {}, {}, this))
    , nutDoi_(new NutVien({}, true, this))
    , matMang_(Kieu::nhan("Máy đang mất mạng — lịch đã đặt vẫn chạy.", 13, QFont::Normal,
                          trang(0.8f), this)) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto* cot = new QVBoxLayout(this);
    cot->setContentsMargins(40, 40, 40, 40);
    cot->setSpacing(22);
    cot->addStretch(1);
    cot->addWidget(icon_, 0, Qt::AlignHCenter);
    for (QLabel* label : {tieuDe_, phu_}) {
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignHCenter);
        cot->addWidget(label);
    }
    cot->addWidget(hop_, 0, Qt::AlignHCenter);
    cot->addWidget(nutDoi_, 0, Qt::AlignHCenter);
    cot->addWidget(matMang_, 0, Qt::AlignHCenter);
    cot->addStretch(1);

    tieuDe_->setObjectName("tieuDe");
    nutDoi_->setObjectName("nutDoi");
    nutDoi_->setFixedWidth(The::rong);
    // A click must leave the keyboard focus in the request box.
    nutDoi_->setFocusPolicy(Qt::NoFocus);
    connect(nutDoi_, &QPushButton::clicked, this, [this] {
        doi_ = !doi_;
        hop_->setDoiDiem(doi_);
        capNhat();
    });
    connect(&m_, &HelperModel::policyChanged, this, &ManKhoa::capNhat);
    connect(&m_, &HelperModel::xinChanged, this, &ManKhoa::capNhat);
    connect(&m_, &HelperModel::onlineChanged, this, &ManKhoa::capNhat);
    capNhat();
}

void ManKhoa::addControl(QWidget* control) {
    auto* cot = static_cast<QVBoxLayout*>(layout());
    cot->insertWidget(cot->indexOf(matMang_), control, 0, Qt::AlignHCenter);
}

void ManKhoa::capNhat() {
    const std::optional<Policy>& policy = m_.policy();
    const bool ngu = gioNgu(policy);
    icon_->setHinh(ngu ? BieuTuong::Hinh::TrangSao : BieuTuong::Hinh::Khoa);
    tieuDe_->setText(policy ? Kieu::qs(policy->lockTitle()) : QString("Máy đang khoá"));
    if (ngu)
        phu_->setText("Ngủ ngon nhé " + Kieu::qs(policy->childName) + "! Sáng mai máy mở lại.");
    else
        phu_->setText("Máy của " + (policy ? Kieu::qs(policy->childName) : QString("con")) +
                      " do bố mẹ quản lý bằng TovuControl.");
    hop_->setVisible(!ngu);
    nutDoi_->setText(doi_ ? "Xin bố mẹ" : "Đổi điểm lấy thời gian");
    nutDoi_->setVisible(!ngu && policy && policy->canExchangePoints &&
                        m_.xin().is<TrangThaiXin::ChuaXin>());
    matMang_->setVisible(!m_.online());
}

void ManKhoa::paintEvent(QPaintEvent*) {
    // From the top-leading to the bottom-trailing corner, stretched with the screen.
    QLinearGradient nen(0, 0, 1, 1);
    nen.setCoordinateMode(QGradient::ObjectMode);
    nen.setColorAt(0.0, QColor::fromRgbF(0.84f, 0.93f, 0.85f));
    nen.setColorAt(0.5, QColor::fromRgbF(0.25f, 0.54f, 0.39f));
    nen.setColorAt(1.0, QColor::fromRgbF(0.13f, 0.33f, 0.23f));
    QPainter(this).fillRect(rect(), nen);
}

} // namespace tovu
