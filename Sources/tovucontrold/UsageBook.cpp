#include "UsageBook.hpp"

#include "TovuCore/UsageTracker.hpp"
#include "TovuProtocol/Contract.hpp"

#include <algorithm>
#include <ctime>
#include <utility>

namespace tovu {

namespace {

using Lock = std::lock_guard<std::mutex>;

constexpr std::size_t keptDays = 3;

// Local midnight of a real Gregorian date written exactly "yyyy-MM-dd", days after it.
std::optional<std::time_t> nuaDem(const std::string& day, int after = 0) {
    if (day.size() != 10 || day[4] != '-' || day[7] != '-') return std::nullopt;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (day[i] < '0' || day[i] > '9') return std::nullopt;
    const int y = std::stoi(day.substr(0, 4));
    const int m = std::stoi(day.substr(5, 2));
    const int d = std::stoi(day.substr(8, 2));
    if (!std::chrono::year_month_day{std::chrono::year{y}, std::chrono::month(unsigned(m)),
                                     std::chrono::day(unsigned(d))}
             .ok())
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d + after;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// The most minutes the child can have used on day by now: the minutes of it that have passed,
// plus one for the minute under way; 0 for a day that has not begun or is not a real date.
std::int64_t phutDaQua(const std::string& day, Time now) {
    const auto start = nuaDem(day);
    const auto end = nuaDem(day, 1);
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    if (!start || !end || t < *start) return 0;
    return (std::min(t, *end) - *start) / 60 + 1;
}

} // namespace

bool UsageBook::laAppId(const std::string& id) {
    return !id.empty() && Contract::tidy(id) == id && Contract::fits(id, Contract::Text::appId);
}

UsageBook::UsageBook(const Clock& clock)
    : clock_(clock) {}

std::vector<std::string> UsageBook::khoiPhuc(const std::vector<UsageEntry>& stored) {
    Lock g(mutex_);
    return gop(stored, false);
}

std::vector<std::string> UsageBook::ghiUsage(const std::vector<UsageEntry>& entries) {
    Lock g(mutex_);
    return gop(entries, true);
}

void UsageBook::truocMat(std::optional<std::pair<std::string, std::string>> idAndName) {
    const auto now = clock_.now();
    Lock g(mutex_);
    truocMat_.reset();
    if (idAndName)
        truocMat_ = TruocMat{std::move(idAndName->first), std::move(idAndName->second), now};
}

std::int64_t UsageBook::tong(const std::string& day) const {
    const auto it = chiMuc_.find(day);
    return it == chiMuc_.end() ? 0 : it->second.tong;
}

std::int64_t UsageBook::tongNgay(const std::string& day) const {
    Lock g(mutex_);
    return tong(day);
}

std::int64_t UsageBook::tongHomNay() const {
    return tongNgay(UsageTracker::ngay(clock_.now()));
}

std::vector<UsageEntry> UsageBook::entries() const {
    Lock g(mutex_);
    return usage_;
}

std::vector<UsageEntry> UsageBook::coPhut(const std::optional<std::string>& day) const {
    std::vector<UsageEntry> out;
    Lock g(mutex_);
    std::copy_if(usage_.begin(), usage_.end(), std::back_inserter(out),
                 [&](const UsageEntry& e) { return e.minutes > 0 && (!day || e.day == *day); });
    return out;
}

std::uint64_t UsageBook::changes() const {
    Lock g(mutex_);
    return changes_;
}

std::vector<std::string> UsageBook::gop(const std::vector<UsageEntry>& entries, bool naming) {
    const auto now = clock_.now();
    std::map<std::string, std::int64_t> tran; // each day's cap, worked out once
    std::vector<std::string> full;
    for (const auto& e : entries) {
        if (e.minutes <= 0 || !laAppId(e.appId)) continue;
        // Nobody names minutes as unnamed; kept ones are read back like the rest.
        if (naming && e.appId == khongRoId) continue;
        auto day = chiMuc_.find(e.day);
        if (day != chiMuc_.end() && day->second.tuChoi.contains(e.appId)) continue;
        const std::size_t* at = nullptr;
        std::int64_t old = 0;
        if (day != chiMuc_.end())
            if (auto app = day->second.app.find(e.appId); app != day->second.app.end()) {
                at = &app->second;
                old = usage_[*at].minutes;
            }
        const std::int64_t total = day == chiMuc_.end() ? 0 : day->second.tong;
        std::optional<std::size_t> unnamed;
        std::int64_t room;
        if (naming) {
            // A report names minutes the daemon counted; it never adds any.
            if (day != chiMuc_.end())
                if (const auto it = day->second.app.find(khongRoId); it != day->second.app.end())
                    unnamed = it->second;
            room = unnamed ? usage_[*unnamed].minutes : 0;
        } else {
            // Kept minutes never add up to more than the day has had.
            auto cap = tran.find(e.day);
            if (cap == tran.end()) cap = tran.emplace(e.day, phutDaQua(e.day, now)).first;
            room = std::max<std::int64_t>(0, cap->second - total);
        }
        const std::int64_t minutes =
            std::min({e.minutes, Contract::Number::dailyMinutes.max, old + room});
        if (minutes <= old) continue;
        auto name = Contract::clip(e.appName, Contract::Text::appName);
        if (at) {
            usage_[*at].minutes = minutes;
            usage_[*at].appName = std::move(name);
        } else {
            Ngay& n = chiMuc_[e.day];
            if (n.app.size() >= maxAppsPerDay) {
                if (!std::exchange(n.daBaoDay, true)) full.push_back(e.day);
                continue;
            }
            n.app.emplace(e.appId, usage_.size());
            usage_.push_back({e.day, e.appId, std::move(name), minutes});
        }
        if (unnamed)
            usage_[*unnamed].minutes -= minutes - old;
        else
            chiMuc_[e.day].tong += minutes - old;
        ++changes_;
    }
    giuBaNgay();
    return full;
}

std::size_t UsageBook::boQua(const std::vector<UsageEntry>& refused) {
    Lock g(mutex_);
    std::set<std::size_t> gone;
    for (const auto& e : refused) {
        const auto day = chiMuc_.find(e.day);
        if (e.appId == khongRoId || day == chiMuc_.end()) continue;
        const auto app = day->second.app.find(e.appId);
        if (app == day->second.app.end()) continue;
        const std::size_t at = app->second;
        day->second.tuChoi.insert(e.appId);
        // The unnamed minutes always have their place: the minutes stay counted.
        if (const auto unnamed = khongRo(e.day); unnamed && gone.insert(at).second)
            usage_[*unnamed].minutes += std::exchange(usage_[at].minutes, 0);
    }
    if (gone.empty()) return 0;
    std::size_t i = 0;
    std::erase_if(usage_, [&](const UsageEntry&) { return gone.contains(i++); });
    lapChiMuc();
    ++changes_;
    return gone.size();
}

void UsageBook::giuBaNgay() {
    if (chiMuc_.size() <= keptDays) return;
    while (chiMuc_.size() > keptDays)
        chiMuc_.erase(chiMuc_.begin());
    std::erase_if(usage_, [&](const UsageEntry& e) { return !chiMuc_.contains(e.day); });
    lapChiMuc();
    ++changes_;
}

std::optional<std::size_t> UsageBook::khongRo(const std::string& day) {
    Ngay& n = chiMuc_[day];
    if (const auto it = n.app.find(khongRoId); it != n.app.end()) return it->second;
    // The unnamed minutes always have their place, even in a full day.
    if (n.app.size() > maxAppsPerDay) return std::nullopt;
    n.app.emplace(khongRoId, usage_.size());
    usage_.push_back({day, khongRoId, khongRoTen, 0});
    return usage_.size() - 1;
}

void UsageBook::lapChiMuc() {
    for (auto& [day, n] : chiMuc_) {
        n.app.clear();
        n.tong = 0;
    }
    for (std::size_t i = 0; i < usage_.size(); ++i) {
        auto& n = chiMuc_[usage_[i].day];
        n.app.emplace(usage_[i].appId, i);
        n.tong += usage_[i].minutes;
    }
}

bool UsageBook::demPhut(const std::string& day, std::int64_t minutes) {
    const auto now = clock_.now();
    Lock g(mutex_);
    const std::int64_t more = minutes - tong(day);
    if (more <= 0) return false;
    std::optional<std::size_t> at;
    if (truocMat_ && now - truocMat_->luc < truocMatCon &&
        !chiMuc_[day].tuChoi.contains(truocMat_->id)) {
        Ngay& n = chiMuc_[day];
        if (const auto it = n.app.find(truocMat_->id); it != n.app.end()) {
            at = it->second;
        } else if (n.app.size() < maxAppsPerDay) {
            n.app.emplace(truocMat_->id, usage_.size());
            usage_.push_back({day, truocMat_->id, truocMat_->name, 0});
            at = usage_.size() - 1;
        }
    }
    if (!at) at = khongRo(day);
    if (!at) return false;
    usage_[*at].minutes += more;
    chiMuc_[day].tong += more;
    ++changes_;
    giuBaNgay();
    return true;
}

} // namespace tovu
