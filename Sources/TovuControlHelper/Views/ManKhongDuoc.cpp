#include "Views/ManKhongDuoc.hpp"

#include "Model.hpp"
#include "Views/BieuTuong.hpp"
#include "Views/HopXin.hpp"
#include "Views/Kieu.hpp"
#include "Views/Nut.hpp"

#include <QLabel>
#include <QVBoxLayout>

namespace tovu {

ManKhongDuoc::ManKhongDuoc(HelperModel& m, const QString& ten, const QString& appId,
                           std::function<void()> dong, bool xin, const QString& lyDo,
                           QWidget* parent)
    : The(0, 12, parent)
    , m_(m)
    , ten_(ten)
    , appId_(appId)
    , lyDoRieng_(lyDo)
    , dong_(std::move(dong))
    , noiDung_(new QWidget(this))
    , lyDo_(Kieu::nhan({}, Kieu::coChu, QFont::Normal, Mau::chuPhu(), noiDung_)) {
    auto* cot = new QVBoxLayout(noiDung_);
    cot->setContentsMargins(0, 0, 0, 0);
    cot->setSpacing(12);
    cot->addWidget(new BieuTuong(BieuTuong::Hinh::GiuTay, Mau::xanh(), 32, noiDung_), 0,
                   Qt::AlignLeft);
    auto* tieuDe =
        Kieu::nhan(ten + " chưa được mở lúc này", 20, QFont::Bold, std::nullopt, noiDung_);
    tieuDe->setWordWrap(true);
    cot->addWidget(tieuDe);
    lyDo_->setWordWrap(true);
    lyDo_->setObjectName("lyDo");
    cot->addWidget(lyDo_);
    auto* nutXin = new NutDac("Xin bố mẹ mở " + ten, false, noiDung_);
    auto* nutDeSau = new NutVien("Để sau", false, noiDung_);
    cot->addWidget(nutXin);
    cot->addWidget(nutDeSau);
    this->cot()->addWidget(noiDung_);

    connect(nutXin, &QPushButton::clicked, this, &ManKhongDuoc::moHop);
    connect(nutDeSau, &QPushButton::clicked, this, [this] {
        if (dong_) dong_();
    });
    connect(&m_, &HelperModel::policyChanged, this, &ManKhongDuoc::capNhat);
    capNhat();
    if (xin) moHop();
}

void ManKhongDuoc::moHop() {
    if (hop_) return;
    noiDung_->hide();
    // The box brings its own padding in place of the card's.
    cot()->setContentsMargins(0, 0, 0, 0);
    hop_ = new HopXin(m_, appId_.toStdString(), ten_.toStdString(), false, 60, {}, dong_, this);
    cot()->addWidget(hop_);
    hop_->show();
}

void ManKhongDuoc::capNhat() {
    const std::optional<Policy>& policy = m_.policy();
    if (!lyDoRieng_.isEmpty()) return lyDo_->setText(lyDoRieng_);
    lyDo_->setText(policy && policy->locked
                       ? Kieu::qs(policy->lockTitle()) + "."
                       : QString("Bây giờ là giờ Chỉ app học. Bố mẹ chọn app được dùng."));
}

} // namespace tovu
