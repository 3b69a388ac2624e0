#include "SyncLoop.hpp"

#include "TovuCore/Api.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Json.hpp"

#include <algorithm>
#include <ctime>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <system_error>
#include <utility>

namespace tovu {

namespace {

using Lock = std::unique_lock<std::mutex>;
using namespace std::chrono_literals;

// Room for the usage in a sync's body: the server's cap, less what the status and the rest
// can take at most.
constexpr std::size_t usageRoom = Contract::maxBodyBytes - 8 * 1024;
// How long the parents see that the server refused something.
constexpr auto refusalShown = 24h;
// After a failed wait the next one waits this long, doubled after each further failure up to
// the server's longest wait, so that the server's load from waiting computers stays flat when
// it or the network falls over; a random part spreads the computers out.
constexpr std::chrono::seconds firstBackoff{10};
// An answer that nothing changed sooner than this means the server does not hold the wait.
constexpr auto shortestWait = Contract::waitHeartbeat;

std::size_t bytes(const UsageEntry& e) {
    return Json::encode(e).size() + 1;
}

// What a pass sends of the book: every minute, within what the server takes. An app's minutes
// of a day at most a day's; and when the whole would pass the server's cap on a body, the
// smallest named entries of a day go out among its unnamed minutes.
std::vector<UsageEntry> deGui(std::vector<UsageEntry> usage) {
    std::size_t size = 0;
    for (auto& e : usage) {
        e.minutes = std::min(e.minutes, Contract::Number::dailyMinutes.max);
        size += bytes(e);
    }
    if (size <= usageRoom) return usage;
    std::map<std::string, std::size_t> unnamed; // day → index
    std::vector<std::size_t> named;
    for (std::size_t i = 0; i < usage.size(); ++i)
        if (usage[i].appId == UsageBook::khongRoId)
            unnamed[usage[i].day] = i;
        else
            named.push_back(i);
    std::stable_sort(named.begin(), named.end(),
                     [&](auto a, auto b) { return usage[a].minutes < usage[b].minutes; });
    std::set<std::size_t> folded;
    for (const auto i : named) {
        if (size <= usageRoom) break;
        auto at = unnamed.find(usage[i].day);
        if (at == unnamed.end()) {
            usage.push_back({usage[i].day, UsageBook::khongRoId, UsageBook::khongRoTen, 0});
            size += bytes(usage.back());
            at = unnamed.emplace(usage[i].day, usage.size() - 1).first;
        }
        auto& into = usage[at->second].minutes;
        into = std::min(into + usage[i].minutes, Contract::Number::dailyMinutes.max);
        size -= bytes(usage[i]);
        folded.insert(i);
    }
    std::size_t i = 0;
    std::erase_if(usage, [&](const UsageEntry&) { return folded.contains(i++); });
    return usage;
}

// The status and usage the server refused as a whole: what was sent does not fit what it takes.
// Anything else it answers is no word on the data.
bool refusesTheData(const ApiError& e) {
    return e.status() == 400 || e.status() == 413 || e.status() == 422;
}

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
    huy_ = true;
    cv_.notify_all();
    if (loop_.joinable()) loop_.join();
    if (wait_.joinable()) wait_.join();
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
    const auto usage = deGui(book_.coPhut());
    const auto status = host_.trangThai();
    std::optional<std::int64_t> revision;
    {
        Lock g(mutex_);
        revision = revision_;
    }

    const auto online = [&](bool reached, int delay) {
        Lock g(mutex_);
        online_ = reached;
        return delay;
    };
    const auto offline = [&](int delay) { return online(false, delay); };
    SyncAnswer answer;
    try {
        answer = api.syncAnswer(status, usage, {}, revision);
    } catch (const ApiError& e) {
        if (e.unauthorized()) {
            host_.log("Máy đã bị gỡ khỏi gia đình hoặc token sai: " + e.description());
            return offline(120);
        }
        if (refusesTheData(e)) {
            // Not sent again: the names go, the minutes stay counted. With them gone the next
            // pass may go through at once.
            biTuChoi("lần đồng bộ: " + e.description());
            const bool dropped = book_.boQua(usage) > 0;
            host_.luu();
            return online(true, dropped ? 0 : 30);
        }
        offline(30);
        host_.log("Mất kết nối máy chủ: " + e.description());
        return 30;
    } catch (const std::exception& e) {
        offline(30);
        host_.log(std::string("Mất kết nối máy chủ: ") + e.what());
        return 30;
    }

    std::vector<UsageEntry> refused;
    for (const auto& d : answer.dropped)
        if (d.index >= 0 && static_cast<std::size_t>(d.index) < usage.size())
            refused.push_back(usage[static_cast<std::size_t>(d.index)]);
    if (!answer.dropped.empty()) {
        book_.boQua(refused);
        biTuChoi(std::to_string(answer.dropped.size()) +
                 " mục giờ dùng: " + answer.dropped.front().reason);
    }
    const auto& p = answer.policy;
    const auto now = clock_.now();
    const auto used = book_.tongNgay(UsageTracker::ngay(now));
    {
        Lock g(mutex_);
        fetched_ = Fetched{p, now, used};
        online_ = true;
        revision_ = answer.revision;
        ++changes_;
    }
    cv_.notify_all(); // a wait may go on with the new revision
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
    wait_ = std::thread([this] { cho(); });
}

void SyncLoop::chay() {
    Lock g(mutex_);
    while (!dung_) {
        // Cleared before the pass: news during it may postdate what the pass brought.
        thuc_ = false;
        g.unlock();
        host_.docLaiCfg();
        const int delay = dongBo();
        g.lock();
        cv_.wait_for(g, std::chrono::seconds(delay), [this] { return dung_ || thuc_; });
    }
}

void SyncLoop::cho() {
    std::minstd_rand random(std::random_device{}());
    std::chrono::seconds backoff{0};
    // The passes a wait has seen; after news, the next wait needs a pass that came after it.
    std::uint64_t seen = 0;
    constexpr auto none = std::numeric_limits<std::int64_t>::min();
    std::int64_t news = none; // the revision the last wake-up announced
    Lock g(mutex_);
    while (!dung_) {
        cv_.wait(g, [&] { return dung_ || changes_ != seen; });
        if (dung_) break;
        const auto revision = revision_;
        if (!revision) { // a server that does not hold waits: the passes' own delay it is
            seen = changes_;
            continue;
        }
        std::optional<WakeUp> woke;
        std::string failure;
        bool held = false;
        // A pass that did not bring the news would only be woken again at once.
        if (*revision < news) {
            failure = "máy chủ báo luật mới mà chưa gửi";
        } else {
            g.unlock();
            const auto c = host_.cauHinh();
            const auto started = std::chrono::steady_clock::now();
            try {
                if (c) woke = ApiClient(c->server, c->token).wait(*revision, &huy_);
            } catch (const std::exception& e) {
                failure = e.what();
            }
            held = std::chrono::steady_clock::now() - started >= shortestWait;
            g.lock();
        }
        news = none;
        if (woke && woke->changed) {
            seen = changes_;
            news = woke->revision;
            thuc_ = true;
            cv_.notify_all();
        }
        if ((woke && (woke->changed || held)) || dung_) {
            backoff = std::chrono::seconds(0);
            continue;
        }
        if (backoff.count() == 0)
            host_.log("Không chờ được tin từ máy chủ (" +
                      (failure.empty() ? std::string("máy chủ trả lời ngay") : failure) +
                      ") — đồng bộ theo lịch");
        backoff = std::min<std::chrono::seconds>(backoff.count() ? backoff * 2 : firstBackoff,
                                                 Contract::longestWait);
        const auto pause = std::chrono::milliseconds(std::uniform_int_distribution<std::int64_t>(
            std::chrono::milliseconds(backoff).count() / 2,
            std::chrono::milliseconds(backoff).count())(random));
        cv_.wait_for(g, pause, [this] { return dung_; });
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

void SyncLoop::biTuChoi(const std::string& what) {
    host_.log("Máy chủ không nhận " + what);
    Lock g(mutex_);
    tuChoi_.emplace(what, clock_.now());
}

std::optional<std::string> SyncLoop::tuChoiCuoi() const {
    const auto now = clock_.now();
    Lock g(mutex_);
    if (!tuChoi_ || now - tuChoi_->second >= refusalShown) return std::nullopt;
    const std::time_t t = std::chrono::system_clock::to_time_t(tuChoi_->second);
    std::tm local{};
    localtime_r(&t, &local);
    char hhmm[8];
    std::strftime(hhmm, sizeof hhmm, "%H:%M", &local);
    return "Lúc " + std::string(hhmm) + ", máy chủ không nhận " + tuChoi_->first;
}

std::uint64_t SyncLoop::changes() const {
    Lock g(mutex_);
    return changes_;
}

} // namespace tovu
