#include "Engine.hpp"

#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Iso.hpp"
#include "TovuProtocol/Json.hpp"

#include <algorithm>
#include <cstdio>

namespace tovu::server {
namespace {

using nlohmann::json;

std::string clock(int minutes) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d", minutes / 60, minutes % 60);
    return text;
}

int readClock(const json& v) {
    const auto bad = BadInput("Giờ phải viết dạng HH:MM, ví dụ 07:30.");
    if (!v.is_string()) throw bad;
    const auto& s = v.get_ref<const std::string&>();
    unsigned h = 0, m = 0;
    char end = 0;
    if (s.size() != 5 || s[2] != ':' || std::sscanf(s.c_str(), "%2u:%2u%c", &h, &m, &end) != 2)
        throw bad;
    if (h * 60 + m > 24 * 60 || m > 59) throw bad;
    return static_cast<int>(h * 60 + m);
}

json spanJson(const std::optional<Span>& s) {
    if (!s) return nullptr;
    return {{"from", clock(s->from)}, {"to", clock(s->to)}};
}

std::optional<Span> readSpan(const json& v) {
    if (v.is_null()) return std::nullopt;
    if (!v.is_object() || !v.contains("from") || !v.contains("to"))
        throw BadInput("Khung giờ cần có giờ bắt đầu và giờ kết thúc.");
    Span s{readClock(v["from"]), readClock(v["to"])};
    if (s.from % 1440 == s.to % 1440) throw BadInput("Giờ bắt đầu và giờ kết thúc phải khác nhau.");
    return s;
}

std::int64_t readInt(const json& o, const char* key, const Contract::Range& range) {
    const auto* v = o.contains(key) ? &o[key] : nullptr;
    if (!v || !v->is_number_integer() || !range.contains(v->get<std::int64_t>()))
        throw BadInput(fieldLabel(key) + ": hãy nhập số nguyên từ " + std::to_string(range.min) +
                       " đến " + std::to_string(range.max) + ".");
    return v->get<std::int64_t>();
}

std::vector<std::string> readApps(const json& o, const char* key) {
    const auto bad = BadInput("Danh sách ứng dụng không đúng.");
    if (!o.contains(key) || !o[key].is_array() || o[key].size() > Contract::maxApps) throw bad;
    std::vector<std::string> apps;
    for (const auto& a : o[key]) {
        if (!a.is_string()) throw bad;
        const auto& id = a.get_ref<const std::string&>();
        if (id.empty() || Contract::tidy(id) != id || !Contract::fits(id, Contract::Text::appId))
            throw bad;
        if (std::find(apps.begin(), apps.end(), a.get<std::string>()) == apps.end())
            apps.push_back(a.get<std::string>());
    }
    return apps;
}

template <class T, class Read>
std::array<T, 7> readWeek(const json& o, const char* key, Read read) {
    if (!o.contains(key) || !o[key].is_array() || o[key].size() != 7)
        throw BadInput("Cần đủ 7 ngày, bắt đầu từ thứ Hai.");
    std::array<T, 7> out{};
    for (std::size_t i = 0; i < 7; ++i)
        out[i] = read(o[key][i]);
    return out;
}

} // namespace

bool Span::contains(int minute) const {
    return from < to ? (minute >= from && minute < to) : (minute >= from || minute < to);
}

void to_json(json& j, const ChildRules& v) {
    json daily = json::array(), hours = json::array();
    for (std::size_t i = 0; i < 7; ++i) {
        daily.push_back(v.dailyMinutes[i] ? json(*v.dailyMinutes[i]) : json(nullptr));
        hours.push_back(spanJson(v.hours[i]));
    }
    j = {{"dailyMinutes", daily},
         {"hours", hours},
         {"bedtime", spanJson(v.bedtime)},
         {"mode", v.mode},
         {"allowedApps", v.allowedApps},
         {"learningApps", v.learningApps},
         {"canExchangePoints", v.canExchangePoints},
         {"pointsPerMinute", v.pointsPerMinute},
         {"exchangeCapMinutes", v.exchangeCapMinutes}};
}

void from_json(const json& j, ChildRules& v) {
    if (!j.is_object()) throw BadInput("Luật gửi lên không đúng.");
    ChildRules r;
    r.dailyMinutes = readWeek<std::optional<std::int64_t>>(j, "dailyMinutes", [](const json& d) {
        if (d.is_null()) return std::optional<std::int64_t>();
        if (!d.is_number_integer() ||
            !Contract::Number::dailyMinutes.contains(d.get<std::int64_t>()))
            throw BadInput("Số phút mỗi ngày phải từ " +
                           std::to_string(Contract::Number::dailyMinutes.min) + " đến " +
                           std::to_string(Contract::Number::dailyMinutes.max) + ".");
        return std::optional<std::int64_t>(d.get<std::int64_t>());
    });
    r.hours = readWeek<std::optional<Span>>(j, "hours", readSpan);
    r.bedtime = j.contains("bedtime") ? readSpan(j["bedtime"]) : std::nullopt;
    if (!j.contains("mode") || !j["mode"].is_string())
        throw BadInput("Chế độ phải là tự do hoặc học.");
    r.mode = j["mode"].get<std::string>();
    if (r.mode != Contract::Mode::free && r.mode != Contract::Mode::learning)
        throw BadInput("Chế độ phải là tự do hoặc học.");
    r.allowedApps = readApps(j, "allowedApps");
    r.learningApps = readApps(j, "learningApps");
    if (!j.contains("canExchangePoints") || !j["canExchangePoints"].is_boolean())
        throw BadInput(fieldLabel("canExchangePoints") + ": phải là đúng hoặc sai.");
    r.canExchangePoints = j["canExchangePoints"].get<bool>();
    r.pointsPerMinute = readInt(j, "pointsPerMinute", Contract::Number::pointsPerMinute);
    r.exchangeCapMinutes = readInt(j, "exchangeCapMinutes", Contract::Number::exchangeCapMinutes);
    v = std::move(r);
}

namespace Engine {

Policy policy(const ChildRules& rules, const ChildState& state, const LocalTime& local, Time now) {
    Policy p;
    p.serverTime = Iso::format(now);
    p.childName = state.name;
    p.mode = rules.mode;
    p.allowedApps = rules.allowedApps;
    p.learningApps = rules.learningApps;
    p.canExchangePoints = rules.canExchangePoints;
    p.nextCheckSec = state.requestWaiting ? 10 : 60;

    const auto lock = [&](std::optional<std::string> reason) {
        p.locked = true;
        p.lockReason = std::move(reason);
        return p;
    };
    if (state.lockedByParent) return lock(std::nullopt);

    const bool lateNight = state.bedtimeDelayedUntil && *state.bedtimeDelayedUntil > now;
    if (!(state.parentGrantEnd && *state.parentGrantEnd > now) && !lateNight) {
        if (rules.bedtime && rules.bedtime->contains(local.minuteOfDay))
            return lock(std::string(Contract::LockReason::bedtime));
        if (const auto& hours = rules.hours[static_cast<std::size_t>(local.weekday)];
            hours && !hours->contains(local.minuteOfDay))
            return lock(std::string(Contract::LockReason::outsideHours));
    }

    if (state.grantEnd && *state.grantEnd > now) {
        p.grantEndsAt = Iso::format(*state.grantEnd);
        const auto seconds = std::chrono::ceil<std::chrono::seconds>(*state.grantEnd - now).count();
        p.minutesLeft = (seconds + 59) / 60;
        for (const auto& app : state.grantApps)
            if (std::find(p.allowedApps.begin(), p.allowedApps.end(), app) == p.allowedApps.end())
                p.allowedApps.push_back(app);
        return p;
    }

    if (const auto& limit = rules.dailyMinutes[static_cast<std::size_t>(local.weekday)]) {
        const auto used = std::max<std::int64_t>(0, state.usedToday - state.usedUnderGrant);
        p.minutesLeft = std::max<std::int64_t>(0, *limit - used);
        if (*p.minutesLeft < 1) {
            // Out of time: only the learning apps stay, or nothing when there are none.
            if (rules.learningApps.empty()) return lock(std::string(Contract::LockReason::timeUp));
            p.lockReason = Contract::LockReason::timeUp;
            p.mode = Contract::Mode::learning;
            p.allowedApps = rules.learningApps;
        }
    }
    return p;
}

Time lateBedtime(const ChildRules& rules, const LocalTime& local, Time now, int untilMinute) {
    const auto& bed = rules.bedtime;
    if (!bed) throw BadInput("Con chưa có giờ đi ngủ.");
    constexpr int day = 24 * 60;
    const int length = (bed->to - bed->from + day) % day;
    const int into = (untilMinute - bed->from + day) % day; // minutes after bedtime begins
    if (untilMinute < 0 || untilMinute >= day || into == 0 || into > length)
        throw BadInput(fieldLabel("until") + ": phải nằm trong giờ ngủ, sau " + clock(bed->from) +
                       " và đến " + clock(bed->to) + ".");
    // The night now running, or else the next one.
    const int since = (local.minuteOfDay - bed->from + day) % day;
    const auto start = std::chrono::floor<std::chrono::minutes>(now) +
                       std::chrono::minutes(since < length ? -since : day - since);
    const auto at = start + std::chrono::minutes(into);
    if (at <= now) throw BadInput(fieldLabel("until") + ": phải sau bây giờ.");
    return at;
}

std::optional<int> lockEnd(const ChildRules& rules, const LocalTime& local,
                           const std::optional<std::string>& reason) {
    if (reason == Contract::LockReason::bedtime && rules.bedtime) return rules.bedtime->to;
    const auto& hours = rules.hours[static_cast<std::size_t>(local.weekday)];
    if (reason == Contract::LockReason::outsideHours && hours && local.minuteOfDay < hours->from)
        return hours->from;
    return std::nullopt;
}

std::string clockText(int minuteOfDay) {
    return clock(minuteOfDay);
}

int readClockText(const std::string& text) {
    return readClock(text);
}

std::int64_t price(const ChildRules& rules, std::int64_t minutes) {
    return rules.pointsPerMinute * minutes;
}

std::optional<std::string> exchangeRefusal(const ChildRules& rules, const Policy& inForce,
                                           std::int64_t balance, std::int64_t exchangedToday,
                                           std::int64_t minutes) {
    if (inForce.locked && inForce.lockReason != Contract::LockReason::timeUp)
        return inForce.lockTitle();
    if (!rules.canExchangePoints) return "Bố mẹ chưa cho đổi điểm lấy thời gian.";
    if (!Contract::Number::minutes.contains(minutes) ||
        exchangedToday + minutes > rules.exchangeCapMinutes)
        return "Hôm nay con chỉ được đổi tối đa " + std::to_string(rules.exchangeCapMinutes) +
               " phút.";
    if (balance < price(rules, minutes))
        return "Chưa đủ điểm: cần " + std::to_string(price(rules, minutes)) + " điểm, con có " +
               std::to_string(balance) + " điểm.";
    return std::nullopt;
}

} // namespace Engine
} // namespace tovu::server
