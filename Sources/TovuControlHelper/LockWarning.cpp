#include "LockWarning.hpp"

#include "Model.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "platform/StatusItem.hpp"

#include <QStandardPaths>
#include <QString>
#include <system_error>

namespace tovu {

namespace {

struct DaBao {
    std::string day;
    int moc = 0;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(DaBao, day, moc)

std::string tep() {
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty()) return {};
    return (runtime + QStringLiteral("/tovucontrol/canh-bao.json")).toStdString();
}

} // namespace

LockWarning::LockWarning()
    : file_(tep()) {
    if (const auto daBao = FileIO::read<DaBao>(file_)) {
        ngay_ = daBao->day;
        moc_ = daBao->moc;
    }
}

void LockWarning::baoTruoc(const HelperModel& m, StatusItem& item) {
    const auto& policy = m.policy();
    if (!policy || policy->locked || !policy->minutesLeft) return;
    // The end of a grant shows in place of the day's minutes.
    if (const auto end = policy->grantEnd(); end && *end > m.now()) return;
    const std::int64_t n = *policy->minutesLeft;
    std::string ngay = UsageTracker::ngay(m.now());
    if (n > 5) {
        // Minutes given back: the next way down is told again.
        if (moc_ != 0) nho(std::move(ngay), 0);
        return;
    }
    if (n < 1) return;
    const int moc = n > 1 ? 5 : 1;
    if (ngay == ngay_ && moc_ != 0 && moc_ <= moc) return;
    item.notify(QStringLiteral("Còn %1 phút nữa là hết giờ").arg(n),
                QStringLiteral("Con nhớ lưu lại bài đang làm nhé."));
    nho(std::move(ngay), moc);
}

void LockWarning::nho(std::string ngay, int moc) {
    ngay_ = std::move(ngay);
    moc_ = moc;
    if (file_.empty()) return;
    try {
        FileIO::write(DaBao{ngay_, moc_}, file_);
    } catch (const std::system_error&) {
        // Only the memory of a warning is lost: it may be told once more after a restart.
    }
}

} // namespace tovu
