#include "UsageTracker.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <stdexcept>

namespace tovu {
namespace {

std::time_t floorSeconds(Time t) {
    return static_cast<std::time_t>(
        std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count());
}

std::time_t ceilSeconds(Time t) {
    return static_cast<std::time_t>(
        std::chrono::ceil<std::chrono::seconds>(t.time_since_epoch()).count());
}

// Calendar fields of t in the current TZ, re-read each time since it may change while running.
std::tm localParts(std::time_t t) {
    tzset();
    std::tm tm{};
    if (!localtime_r(&t, &tm)) throw std::range_error("time outside the calendar");
    return tm;
}

// The first second of the local day after the one holding t. Days are 23 or 25 hours long
// across a daylight-saving change, so this asks the calendar instead of adding 24 hours.
std::time_t nextDayStart(std::time_t t) {
    const std::tm today = localParts(t);
    std::tm next{};
    next.tm_year = today.tm_year;
    next.tm_mon = today.tm_mon;
    next.tm_mday = today.tm_mday + 1;
    next.tm_isdst = -1;
    const std::time_t start = std::mktime(&next);
    // Without progress the booking loop would never end.
    if (start <= t) throw std::range_error("no local midnight after this time");
    return start;
}

// Whole minutes of a tally, truncated; a tally beyond the integer range is capped.
std::int64_t wholeMinutes(double seconds) {
    const double minutes = std::trunc(seconds / 60);
    if (minutes >= 0x1p63) return std::numeric_limits<std::int64_t>::max();
    return minutes > 0 ? static_cast<std::int64_t>(minutes) : 0;
}

} // namespace

std::string UsageTracker::ngay(Time t) {
    const std::tm tm = localParts(floorSeconds(t));
    char key[32];
    std::snprintf(key, sizeof key, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return key;
}

void UsageTracker::doiApp(const std::optional<std::string>& id,
                          const std::optional<std::string>& ten, Time luc) {
    if (dangMo_) cong(dangMo_->id, dangMo_->tu, luc);
    if (!id) {
        dangMo_.reset();
        return;
    }
    dangMo_ = DangMo{*id, luc};
    if (ten) ten_[*id] = *ten;
}

void UsageTracker::cong(const std::string& id, Time tu, Time den) {
    // Compared in whole seconds so that a boundary past the end is never converted to a Time
    // that might not fit.
    const std::time_t last = ceilSeconds(den);
    for (Time t = tu; t < den;) {
        const std::time_t boundary = nextDayStart(floorSeconds(t));
        const Time end = boundary < last ? std::chrono::system_clock::from_time_t(boundary) : den;
        giay_[ngay(t)][id] += std::chrono::duration<double>(end - t).count();
        t = end;
    }
}

void UsageTracker::chot(Time luc) {
    if (!dangMo_) return;
    cong(dangMo_->id, dangMo_->tu, luc);
    dangMo_->tu = luc;
}

std::vector<UsageEntry> UsageTracker::entries(const std::string& ngay) const {
    std::vector<UsageEntry> list;
    const auto day = giay_.find(ngay);
    if (day == giay_.end()) return list;
    // The map already holds the apps in ascending appId order.
    for (const auto& [appId, seconds] : day->second) {
        const std::int64_t minutes = wholeMinutes(seconds);
        if (minutes < 1) continue;
        const auto name = ten_.find(appId);
        list.push_back({ngay, appId, name != ten_.end() ? name->second : appId, minutes});
    }
    return list;
}

void UsageTracker::khoiPhuc(const std::vector<UsageEntry>& list) {
    for (const auto& e : list) {
        // In floating point: an absurd stored count cannot overflow, and a negative one never
        // lowers booked time nor creates any.
        const double s = static_cast<double>(e.minutes) * 60;
        double* booked = nullptr;
        if (const auto day = giay_.find(e.day); day != giay_.end())
            if (const auto app = day->second.find(e.appId); app != day->second.end())
                booked = &app->second;
        if (booked) {
            *booked = std::max(*booked, s);
        } else if (e.minutes >= 1) {
            giay_[e.day][e.appId] = s;
        }
        ten_[e.appId] = e.appName;
    }
}

} // namespace tovu
