#include "Notifier.hpp"

#include "Http.hpp"
#include "TovuProtocol/Json.hpp"

namespace tovu::server {
namespace {

using nlohmann::json;

// "45 phút", "1 giờ", "1 giờ 30 phút".
std::string duration(std::int64_t m) {
    if (m < 60) return std::to_string(m) + " phút";
    return std::to_string(m / 60) + " giờ" + (m % 60 ? " " + std::to_string(m % 60) + " phút" : "");
}

} // namespace

Notifier::Notifier(Subscriptions& subscriptions, Families& families, Devices& devices,
                   const Clock& clock, bool plainEndpoints)
    : subscriptions_(subscriptions)
    , families_(families)
    , devices_(devices)
    , plain_(plainEndpoints)
    , keys_(subscriptions.keys())
    , sender_(keys_, clock, [this](const std::string& endpoint, long status) {
        if (status == 404 || status == 410) return subscriptions_.drop(endpoint);
        if (status < 200 || status > 299)
            Http::log("Dịch vụ thông báo trả lời " + std::to_string(status) + " cho " + endpoint);
    }) {
    watcher_ = std::thread([this] { watch(); });
}

Notifier::~Notifier() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    watcher_.join();
}

void Notifier::subscribe(const Parent& parent, const WebPush::Subscription& s) {
    WebPush::checkSubscription(s, plain_);
    subscriptions_.add(parent, s);
}

void Notifier::tell(const std::string& familyId, const json& message, const std::string& topic,
                    int ttlSeconds, bool urgent) {
    const auto payload = Json::encode(message);
    for (const auto& to : subscriptions_.ofFamily(familyId))
        if (!sender_.send({to, payload, topic, ttlSeconds, urgent}))
            Http::log("Hàng đợi thông báo đầy, bỏ một thông báo cho gia đình " + familyId);
}

void Notifier::requestMade(const std::string& requestId) {
    const auto told = families_.requestToTell(requestId);
    if (!told) return;
    const auto& r = told->request;
    const auto minutes = duration(r.minutes);
    const auto title = r.kind == Contract::Kind::exchange
                           ? r.childName + " đổi điểm lấy " + minutes
                           : r.childName + " xin thêm " + minutes +
                                 (r.appName ? " cho " + *r.appName : std::string());
    tell(told->familyId,
         {{"title", title},
          {"body", r.note ? "“" + *r.note + "”" : std::string("Chạm để trả lời.")},
          {"tag", "yeu-cau-" + requestId},
          {"url", "/#/yeu-cau"},
          {"request", {{"id", requestId}, {"token", told->token}}}},
         requestId.substr(0, 32), 3600, true);
}

void Notifier::lookSoon() {
    {
        std::lock_guard lock(mutex_);
        soon_ = true;
    }
    wake_.notify_all();
}

void Notifier::watch() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait_for(lock, lookEvery, [this] { return stopping_ || soon_; });
        if (stopping_) return;
        soon_ = false;
        lock.unlock();
        try {
            for (const auto& n : devices_.noticesDue()) {
                const auto what = "Máy " + n.deviceName + " của " + n.childName;
                tell(n.familyId,
                     {{"title", n.offline ? what + " đã ngoại tuyến hơn một giờ"
                                          : what + " chưa được bảo vệ"},
                      {"body", n.offline
                                   ? "Lần cuối lúc " + n.lastSeen + ", trong giờ con được dùng máy."
                                   : n.reason.value_or("Mở TovuControl để xem.")},
                      {"tag", (n.offline ? "ngoai-tuyen-" : "bao-ve-") + n.deviceId},
                      {"url", "/#/con/" + n.childId}},
                     "", 24 * 3600, !n.offline);
            }
        } catch (const DatabaseError& e) {
            Http::log(std::string("Lỗi cơ sở dữ liệu: ") + e.what());
        }
        lock.lock();
    }
}

} // namespace tovu::server
