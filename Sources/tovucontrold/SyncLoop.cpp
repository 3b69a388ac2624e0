#include "SyncLoop.hpp"

#include "TovuCore/Api.hpp"
#include "TovuCore/UsageTracker.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

namespace tovu {

namespace {

using Lock = std::unique_lock<std::mutex>;

} // namespace

SyncLoop::SyncLoop(const Clock& clock, Host& host, UsageBook& book, std::optional<Fetched> stored)
    : clock_(clock)
    , host_(host)
    , book_(book)
    , fetched_(std::move(stored)) {}

SyncLoop::~SyncLoop() {
    {
        Lock g(mutex_);
        dung_ = true;
    }
    cv_.notify_all();
    if (loop_.joinable()) loop_.join();
    std::thread pass;
    {
        Lock g(nenMutex_);
        pass = std::move(nen_);
    }
    if (pass.joinable()) pass.join();
}

int SyncLoop::dongBo() {
    const auto c = host_.cauHinh();
    if (!c) return 30;
    const ApiClient api(c->server, c->token);
    const auto usage = book_.coPhut();
    const auto status = host_.trangThai();

    const auto offline = [&](int delay) {
        Lock g(mutex_);
        online_ = false;
        return delay;
    };
    Policy p;
    try {
        p = api.sync(status, usage, {});
    } catch (const ApiError& e) {
        if (e.unauthorized()) {
            host_.log("Máy đã bị gỡ khỏi gia đình hoặc token sai: " + e.description());
            return offline(120);
        }
        offline(30);
        host_.log("Mất kết nối máy chủ: " + e.description());
        return 30;
    } catch (const std::exception& e) {
        offline(30);
        host_.log(std::string("Mất kết nối máy chủ: ") + e.what());
        return 30;
    }

    const auto now = clock_.now();
    const auto used = book_.tongNgay(UsageTracker::ngay(now));
    {
        Lock g(mutex_);
        fetched_ = Fetched{p, now, used};
        online_ = true;
        ++doi_;
    }
    host_.luu();
    host_.khiCoPolicy();
    return static_cast<int>(std::clamp<std::int64_t>(p.nextCheckSec, 10, 300));
}

void SyncLoop::dongBoNen() {
    Lock g(nenMutex_);
    // One such pass at a time: the child's agent can send "usage" as often as it likes. One
    // asked for meanwhile runs after it, since the running pass may predate what changed.
    if (nenDangChay_) {
        nenLai_ = true;
        return;
    }
    if (nen_.joinable()) nen_.join(); // already finished
    nenDangChay_ = true;
    try {
        nen_ = std::thread([this] {
            for (bool again = true; again;) {
                dongBo();
                Lock g(nenMutex_);
                again = std::exchange(nenLai_, false);
                nenDangChay_ = again;
            }
        });
    } catch (const std::system_error&) {
        nenDangChay_ = false; // no thread now; the next call tries again
    }
}

void SyncLoop::batDau() {
    loop_ = std::thread([this] { chay(); });
}

void SyncLoop::chay() {
    Lock g(mutex_);
    while (!dung_) {
        g.unlock();
        host_.docLaiCfg();
        const int delay = dongBo();
        g.lock();
        cv_.wait_for(g, std::chrono::seconds(delay), [this] { return dung_; });
    }
}

std::optional<SyncLoop::Fetched> SyncLoop::fetched() const {
    Lock g(mutex_);
    return fetched_;
}

bool SyncLoop::online() const {
    Lock g(mutex_);
    return online_;
}

std::uint64_t SyncLoop::doi() const {
    Lock g(mutex_);
    return doi_;
}

} // namespace tovu
