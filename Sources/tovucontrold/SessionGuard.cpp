#include "SessionGuard.hpp"

#include <algorithm>

namespace tovu {

bool SessionGuard::agentGoi(const std::string& id, const std::string& display, Time now) {
    auto& goi = agents_[id];
    const bool moi = now - goi.luc >= hanGoi || goi.display != display;
    goi = {now, display};
    return moi;
}

bool SessionGuard::duocBaoVe(const LoginSession& s, Time now) const {
    // The agent covers X11 only, and only the display of its own session: one pointed at a
    // private X server guards nothing.
    const auto it = agents_.find(s.id);
    return it != agents_.end() && now - it->second.luc < hanGoi && s.type == "x11" &&
           !s.display.empty() && it->second.display == s.display;
}

std::vector<SessionGuard::Viec> SessionGuard::xet(const std::vector<LoginSession>& sessions,
                                                  bool locked, Time now) {
    std::erase_if(agents_, [&](const auto& a) {
        return std::none_of(sessions.begin(), sessions.end(),
                            [&](const LoginSession& s) { return s.id == a.first; });
    });
    std::vector<Viec> viec;
    std::map<std::string, Time> still;
    if (!locked) {
        khoaLuc_.clear();
        return viec;
    }
    for (const auto& s : sessions) {
        if (duocBaoVe(s, now)) continue;
        const auto it = khoaLuc_.find(s.id);
        if (!s.active || s.state == "closing") {
            // Switched away: it is dealt with when it comes back.
            if (it != khoaLuc_.end()) still.insert(*it);
            continue;
        }
        if (s.type == "tty") {
            viec.push_back({Viec::Loai::dongTty, s});
        } else if (it == khoaLuc_.end()) {
            viec.push_back({Viec::Loai::khoa, s});
            still[s.id] = now;
        } else if (now - it->second >= grace_) {
            viec.push_back({Viec::Loai::ketThuc, s});
            still[s.id] = now; // tried again after another grace if it survives
        } else {
            still.insert(*it);
        }
    }
    khoaLuc_ = std::move(still);
    return viec;
}

bool SessionGuard::coPhienHo(const std::vector<LoginSession>& sessions, Time now) const {
    return std::any_of(sessions.begin(), sessions.end(),
                       [&](const LoginSession& s) { return s.active && !duocBaoVe(s, now); });
}

bool SessionGuard::demRieng(const std::vector<LoginSession>& sessions, Time now) const {
    bool used = false;
    for (const auto& s : sessions) {
        if (!s.active) continue;
        if (duocBaoVe(s, now)) return false;
        used = used || !s.idle;
    }
    return used;
}

std::optional<Time> SessionGuard::henTiep(const std::vector<LoginSession>& sessions,
                                          Time now) const {
    std::optional<Time> next;
    const auto sooner = [&](Time t) {
        if (!next || t < *next) next = t;
    };
    for (const auto& s : sessions)
        if (duocBaoVe(s, now)) sooner(agents_.at(s.id).luc + hanGoi);
    for (const auto& [id, luc] : khoaLuc_)
        sooner(luc + grace_);
    return next;
}

std::optional<std::int64_t> UnguardedTime::dem(bool counting, Time now, const std::string& day,
                                               std::int64_t stored) {
    if (day != day_) {
        day_ = day;
        seconds_ = {};
        booked_ = 0;
    }
    if (from_ && now > *from_)
        seconds_ += std::chrono::duration_cast<std::chrono::seconds>(now - *from_);
    // After a restart the day's stored minutes are the floor.
    seconds_ = std::max<std::chrono::seconds>(seconds_, std::chrono::minutes(stored));
    booked_ = std::max(booked_, stored);
    from_ = counting ? std::optional(now) : std::nullopt;
    const std::int64_t minutes = seconds_ / std::chrono::minutes(1);
    if (minutes <= booked_) return std::nullopt;
    booked_ = minutes;
    return minutes;
}

std::optional<Time> UnguardedTime::henTiep(Time now) const {
    if (!from_) return std::nullopt;
    return now + (std::chrono::minutes(1) - seconds_ % std::chrono::minutes(1));
}

} // namespace tovu
