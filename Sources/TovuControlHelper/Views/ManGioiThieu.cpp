#include "Views/ManGioiThieu.hpp"

#include "Model.hpp"
#include "TovuCore/Rules.hpp"
#include "Views/BieuTuong.hpp"
#include "Views/Kieu.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <initializer_list>

namespace tovu {

namespace {

QString cheDo(const std::string& mode) {
    if (mode == "hoc") return "Chế độ: Chỉ app học";
    if (mode == "khoa") return "Chế độ: Khoá máy";
    return "Chế độ: Tự do";
}

} // namespace

ManGioiThieu::ManGioiThieu(HelperModel& m, QWidget* parent)
    : The(0, 10, parent)
    , m_(m)
    , vach_(new QFrame(this))
    , thoiGian_(Kieu::nhan({}, 15, QFont::DemiBold, std::nullopt, this))
    , cheDo_(Kieu::nhan({}, Kieu::coChu, QFont::Normal, Mau::chuPhu(), this)) {
    auto* dau = new QHBoxLayout;
    dau->setSpacing(8);
    dau->addWidget(new BieuTuong(BieuTuong::Hinh::KhienCheckDac, Mau::xanh(), 30, this), 0,
                   Qt::AlignVCenter);
    dau->addWidget(Kieu::nhan("TovuControl đang bật", 20, QFont::Bold, std::nullopt, this), 1,
                   Qt::AlignVCenter);
    cot()->addLayout(dau);

    auto* giaiThich = Kieu::nhan("Bố mẹ quản lý giờ dùng máy này. TovuControl không đọc tin nhắn, "
                                 "không chụp màn hình — chỉ đếm thời gian dùng từng app.",
                                 Kieu::coChu, QFont::Normal, Mau::chuPhu(), this);
    giaiThich->setWordWrap(true);
    cot()->addWidget(giaiThich);

    vach_->setFixedHeight(1);
    vach_->setAutoFillBackground(true);
    QPalette p = vach_->palette();
    p.setColor(QPalette::Window, QColor::fromRgbF(0, 0, 0, 0.1f));
    vach_->setPalette(p);
    cot()->addWidget(vach_);
    thoiGian_->setObjectName("thoiGian");
    cheDo_->setObjectName("cheDo");
    cot()->addWidget(thoiGian_);
    cot()->addWidget(cheDo_);

    connect(&m_, &HelperModel::policyChanged, this, &ManGioiThieu::capNhat);
    capNhat();
}

void ManGioiThieu::capNhat() {
    const std::optional<Policy>& policy = m_.policy();
    for (QWidget* w : std::initializer_list<QWidget*>{vach_, thoiGian_, cheDo_})
        w->setVisible(policy.has_value());
    if (!policy) return;
    if (const auto end = policy->grantEnd())
        thoiGian_->setText("Được thêm giờ đến " + Kieu::gioPhut(*end));
    else
        thoiGian_->setText("Còn hôm nay: " + Kieu::qs(Rules::gio(policy->minutesLeft)));
    cheDo_->setText(cheDo(policy->mode));
}

} // namespace tovu
