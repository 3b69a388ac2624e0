#include "SessionGuard.hpp"

namespace tovu {
namespace {

// The seat with virtual consoles, where the lock screen can be a session of its own.
constexpr std::string_view consoleSeat = "seat0";

bool onConsole(const LoginSession& s) {
    return s.seat == consoleSeat && !s.remote;
}

} // namespace

std::vector<SessionGuard::Viec> SessionGuard::xet(const std::vector<LoginSession>& sessions,
                                                  std::uint32_t child, std::uint32_t lockUser,
                                                  bool locked, Time now) {
    std::vector<Viec> viec;
    const LoginSession* manKhoa = nullptr;
    const LoginSession* front = nullptr; // the child's session in front on the console
    const LoginSession* truoc = nullptr;
    for (const auto& s : sessions) {
        if (s.state == "closing") continue;
        if (s.uid == lockUser && onConsole(s) && (!manKhoa || s.active)) manKhoa = &s;
        if (s.uid != child) continue;
        if (onConsole(s) && s.active) front = &s;
        if (truoc_ && s.id == *truoc_) truoc = &s;
    }

    if (!locked) {
        khoaLuc_.clear();
        canTu_.reset();
        treHan_ = false;
        if (batRoi_ || manKhoa) {
            // The child gets back what they had in front before the lock screen goes.
            if (manKhoa && manKhoa->active && truoc) viec.push_back({Viec::Loai::duaLen, *truoc});
            viec.push_back({Viec::Loai::tatManKhoa, {}});
            batRoi_ = false;
        }
        truoc_.reset();
        return viec;
    }

    if (front) {
        truoc_ = front->id;
        if (!canTu_) canTu_ = now;
        if (manKhoa) {
            viec.push_back({Viec::Loai::duaLen, *manKhoa});
        } else if (!batRoi_) {
            viec.push_back({Viec::Loai::batManKhoa, {}});
            batRoi_ = true;
        }
        treHan_ = now - *canTu_ >= hanManKhoa;
    } else {
        canTu_.reset();
        treHan_ = false;
    }

    // What the lock screen cannot cover is locked by the desktop, and ended after the grace.
    std::map<std::string, Time> still;
    for (const auto& s : sessions) {
        if (s.uid != child) continue;
        const auto it = khoaLuc_.find(s.id);
        if (!s.active || s.state == "closing" || (onConsole(s) && !(treHan_ && &s == front))) {
            // Switched away or covered: it is dealt with when it comes back uncovered.
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

std::optional<Time> SessionGuard::henTiep() const {
    std::optional<Time> next;
    const auto sooner = [&](Time t) {
        if (!next || t < *next) next = t;
    };
    if (canTu_ && !treHan_) sooner(*canTu_ + hanManKhoa);
    for (const auto& [id, luc] : khoaLuc_)
        sooner(luc + grace_);
    return next;
}

std::optional<std::int64_t> UsedTime::dem(bool counting, Time now, const std::string& day,
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

std::optional<Time> UsedTime::henTiep(Time now) const {
    if (!from_) return std::nullopt;
    return now + (std::chrono::minutes(1) - seconds_ % std::chrono::minutes(1));
}

} // namespace tovu
