#include "Capture.hpp"

#include "Model.hpp"
#include "Views/HopXin.hpp"
#include "Views/ManGioiThieu.hpp"
#include "Views/ManKhoa.hpp"
#include "Views/ManKhongDuoc.hpp"

#include <QDateTime>
#include <QDir>
#include <QGridLayout>
#include <QImage>
#include <chrono>
#include <cstring>
#include <iostream>

namespace tovu {

namespace {

Policy mau(const std::string& serverTime, bool locked, std::optional<std::string> lockReason,
           std::string mode, std::int64_t minutesLeft) {
    Policy p;
    p.serverTime = serverTime;
    p.childName = "Bin";
    p.mode = std::move(mode);
    p.locked = locked;
    p.lockReason = std::move(lockReason);
    p.minutesLeft = minutesLeft;
    p.nextCheckSec = 60;
    p.canExchangePoints = true;
    return p;
}

} // namespace

std::optional<QString> thuMucChup(int argc, const char* const* argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--chup") == 0)
            return i + 1 < argc ? std::optional(QString::fromLocal8Bit(argv[i + 1])) : std::nullopt;
    }
    return std::nullopt;
}

bool luu(const QString& dir, const QString& name, int width, int height,
         std::unique_ptr<QWidget> view) {
    QWidget khung;
    khung.setAttribute(Qt::WA_DontShowOnScreen);
    khung.setFixedSize(width, height);
    khung.setAutoFillBackground(true);
    QPalette nen = khung.palette();
    nen.setColor(QPalette::Window, QColor(236, 236, 236));
    khung.setPalette(nen);
    auto* luoi = new QGridLayout(&khung);
    luoi->setContentsMargins(0, 0, 0, 0);
    // Cards keep their own size, centred; full-screen views fill the frame.
    const bool day = view->sizePolicy().horizontalPolicy() & QSizePolicy::ExpandFlag;
    luoi->addWidget(view.release(), 0, 0, day ? Qt::Alignment() : Qt::AlignCenter);
    khung.show();

    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    const QString path = dir + "/" + name + ".png";
    if (!image.isNull()) {
        image.fill(Qt::transparent);
        khung.render(&image);
    }
    if (image.isNull() || !image.save(path, "PNG")) {
        std::cerr << "Không ghi được " << path.toStdString() << std::endl;
        return false;
    }
    std::cout << name.toStdString() << std::endl;
    return true;
}

bool chup(const QString& dir, const Clock& clock) {
    QDir().mkpath(dir);
    const Time now = clock.now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const std::string serverTime =
        QDateTime::fromMSecsSinceEpoch(ms.count(), Qt::UTC).toString(Qt::ISODate).toStdString();
    const Policy hetGio = mau(serverTime, true, "het_gio", "tu_do", 0);
    const Policy ngu = mau(serverTime, true, "ngu", "tu_do", 0);
    const Policy hoc = mau(serverTime, false, std::nullopt, "hoc", 42);

    auto model = [&](const Policy& policy, TrangThaiXin xin) {
        auto m = std::make_unique<HelperModel>(clock);
        m->setPolicy(policy);
        m->setXin(std::move(xin));
        return m;
    };
    auto khoa = [&](const QString& name, const Policy& policy, TrangThaiXin xin, bool doi) {
        auto m = model(policy, std::move(xin));
        return luu(dir, name, 1280, 800, std::make_unique<ManKhoa>(*m, doi));
    };

    // Every screen is tried, whatever became of the ones before.
    bool ok = khoa("1-khoa-het-gio", hetGio, TrangThaiXin::ChuaXin{}, false);
    ok &= khoa("2-khoa-doi-diem", hetGio, TrangThaiXin::ChuaXin{}, true);
    ok &= khoa("3-khoa-cho", hetGio, TrangThaiXin::Cho{"x", 60}, false);
    ok &= khoa("4-khoa-ngu", ngu, TrangThaiXin::ChuaXin{}, false);
    {
        auto m = model(hetGio, TrangThaiXin::Duoc{60, now + std::chrono::seconds(3600)});
        ok &= luu(dir, "5-duoc-them", 420, 200,
                  std::make_unique<HopXin>(*m, std::nullopt, std::nullopt, false, 60, QString(),
                                           std::function<void()>()));
    }
    {
        auto m = model(hoc, TrangThaiXin::ChuaXin{});
        ok &= luu(dir, "6-khong-duoc", 420, 300,
                  std::make_unique<ManKhongDuoc>(
                      *m, "Roblox", "com.roblox.roblox", [] {}, false));
    }
    {
        auto m = model(hoc, TrangThaiXin::ChuaXin{});
        ok &= luu(dir, "7-gioi-thieu", 420, 260, std::make_unique<ManGioiThieu>(*m));
    }
    return ok;
}

} // namespace tovu
