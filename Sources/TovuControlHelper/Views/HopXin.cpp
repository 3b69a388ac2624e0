#include "Views/HopXin.hpp"

#include "Model.hpp"
#include "TovuCore/Rules.hpp"
#include "Views/ChonMot.hpp"
#include "Views/Kieu.hpp"
#include "Views/Nut.hpp"
#include "Views/VongXoay.hpp"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <algorithm>
#include <initializer_list>

namespace tovu {

namespace {

const std::vector<int> phutXin{30, 60, 120};
const std::vector<int> phutDoi{15, 30};

QString gio(std::int64_t phut) {
    return Kieu::qs(Rules::gio(phut));
}

} // namespace

HopXin::HopXin(HelperModel& m, std::optional<std::string> appId, std::optional<std::string> appName,
               bool doiDiem, int phut, const QString& loiNhan, std::function<void()> dong,
               QWidget* parent)
    : The(20, 14, parent)
    , m_(m)
    , appId_(std::move(appId))
    , appName_(std::move(appName))
    , doiDiem_(doiDiem)
    , phutXin_(phut)
    // Exchanging offers only 15 and 30: a box that starts at 60 shows 30 there, so that
    // "Đổi điểm" never sends an amount the child did not see.
    , phutDoi_(std::ranges::find(phutDoi, phut) != phutDoi.end() ? phut : 30)
    , dong_(std::move(dong))
    , dau_(new QWidget(this))
    , xoay_(new VongXoay(dau_))
    , tieuDe_(Kieu::nhan({}, 20, QFont::Bold, std::nullopt, dau_))
    , phu_(Kieu::nhan({}, Kieu::coChu, QFont::Normal, Mau::chuPhu(), this))
    , chon_(new ChonMot(this))
    , loiNhan_(new QLineEdit(loiNhan, this))
    , loi_(Kieu::nhan({}, 14, QFont::Normal, Mau::loi(), this))
    , nutGui_(new NutDac({}, false, this))
    , nutLai_(new NutVien({}, false, this))
    , nutDong_(new NutChu("Đóng", Mau::chuPhu(), this)) {
    auto* hang = new QHBoxLayout(dau_);
    hang->setContentsMargins(0, 0, 0, 0);
    hang->setSpacing(10);
    hang->addWidget(xoay_, 0, Qt::AlignVCenter);
    hang->addWidget(tieuDe_, 1, Qt::AlignVCenter);
    tieuDe_->setWordWrap(true);
    phu_->setWordWrap(true);
    loi_->setWordWrap(true);

    loiNhan_->setObjectName("loiNhan");
    loiNhan_->setPlaceholderText("Lời nhắn cho bố mẹ (không bắt buộc)");
    loiNhan_->setFont(Kieu::phong(15));
    loiNhan_->setMinimumHeight(34);
    loiNhan_->setStyleSheet("QLineEdit { background: white; color: #171717;"
                            " border: 1px solid rgba(0, 0, 0, 0.2); border-radius: 7px;"
                            " padding: 0 9px; }"
                            "QLineEdit:focus { border: 1px solid #15803D; }");

    nutGui_->setObjectName("nutGui");
    nutGui_->setDefault(true);
    nutLai_->setObjectName("nutLai");
    nutDong_->setObjectName("nutDong");
    loi_->setObjectName("loi");

    for (QWidget* w :
         std::initializer_list<QWidget*>{dau_, phu_, chon_, loiNhan_, loi_, nutGui_, nutLai_})
        cot()->addWidget(w);
    cot()->addWidget(nutDong_, 0, Qt::AlignHCenter);

    connect(chon_, &ChonMot::chonDoi, this, [this](int n) {
        phutChon() = n;
        chon_->setChon(n);
    });
    connect(nutGui_, &QPushButton::clicked, this, &HopXin::gui);
    connect(nutLai_, &QPushButton::clicked, this, [this] { m_.setXin(TrangThaiXin::ChuaXin{}); });
    connect(nutDong_, &QPushButton::clicked, this, [this] {
        if (dong_) dong_();
    });
    connect(&m_, &HelperModel::xinChanged, this, &HopXin::capNhat);
    connect(&m_, &HelperModel::loiChanged, this, &HopXin::capNhat);
    capNhat();
}

void HopXin::setDoiDiem(bool doiDiem) {
    if (doiDiem == doiDiem_) return;
    doiDiem_ = doiDiem;
    capNhat();
}

void HopXin::capNhat() {
    const TrangThaiXin& xin = m_.xin();
    const bool dangGui = xin.is<TrangThaiXin::DangGui>();
    const bool form = dangGui || xin.is<TrangThaiXin::ChuaXin>();

    auto tieuDe = [this](const QString& text, int px, QFont::Weight weight, const QColor& colour) {
        tieuDe_->setText(text);
        tieuDe_->setFont(Kieu::phong(px, weight));
        Kieu::toMau(tieuDe_, colour);
    };
    QString phu;
    QString lai;
    if (form) {
        const std::vector<int>& ds = doiDiem_ ? phutDoi : phutXin;
        tieuDe(doiDiem_ ? "Đổi điểm lấy thời gian" : "Xin thêm thời gian", 20, QFont::Bold,
               Mau::chuThe());
        phu = doiDiem_ ? "Nếu con đủ điểm, máy mở ngay." : "Bố mẹ nhận lời xin trên điện thoại.";
        chon_->setDs(ds);
        chon_->setChon(phutChon());
        loi_->setText(m_.loi() ? Kieu::qs(*m_.loi()) : QString());
        nutGui_->setText(dangGui ? "Đang gửi…" : doiDiem_ ? "Đổi điểm" : "Gửi bố mẹ");
        nutGui_->setEnabled(!dangGui);
    } else if (const auto* cho = xin.get<TrangThaiXin::Cho>()) {
        tieuDe("Đang chờ bố mẹ…", 18, QFont::DemiBold, Mau::chuThe());
        phu = "Con xin " + gio(cho->phut) + ". Máy tự mở khi bố mẹ đồng ý.";
    } else if (const auto* duoc = xin.get<TrangThaiXin::Duoc>()) {
        tieuDe("Bố mẹ cho thêm " + gio(duoc->phut), 20, QFont::Bold, Mau::xanhInk());
        phu = "Máy mở đến " + Kieu::gioPhut(duoc->den) + " rồi tự khoá lại.";
    } else if (const auto* doiDuoc = xin.get<TrangThaiXin::DoiDuoc>()) {
        tieuDe("Đổi được " + gio(doiDuoc->phut) + "!", 20, QFont::Bold, Mau::xanhInk());
        phu = "Bố mẹ sẽ thấy trong danh sách yêu cầu.";
    } else if (xin.is<TrangThaiXin::TuChoi>()) {
        tieuDe("Bố mẹ chưa đồng ý lần này", 18, QFont::DemiBold, Mau::chuThe());
        lai = "Xin lại";
    } else {
        tieuDe("Chưa đổi được lúc này", 18, QFont::DemiBold, Mau::chuThe());
        phu = "Có thể chưa đủ điểm hoặc đã đổi tối đa hôm nay.";
        lai = "Xin bố mẹ thay vì đổi điểm";
    }

    phu_->setText(phu);
    phu_->setVisible(!phu.isEmpty());
    nutLai_->setText(lai);
    nutLai_->setVisible(!lai.isEmpty());
    xoay_->setVisible(xin.is<TrangThaiXin::Cho>());
    chon_->setVisible(form);
    loiNhan_->setVisible(form && !doiDiem_);
    loi_->setVisible(form && m_.loi());
    nutGui_->setVisible(form);
    nutDong_->setVisible(dong_ && !dangGui);
}

void HopXin::gui() {
    if (doiDiem_)
        m_.doiDiem(phutDoi_);
    else
        m_.guiXin(phutXin_, loiNhan_->text().toStdString(), appId_, appName_);
}

void HopXin::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && nutGui_->isVisibleTo(this) && nutGui_->isEnabled()) {
        nutGui_->click();
        return;
    }
    The::keyPressEvent(event);
}

} // namespace tovu
