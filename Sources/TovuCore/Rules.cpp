#include "Rules.hpp"

#include "Paths.hpp"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <limits>

namespace tovu::Rules {
namespace {

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, {}, lowerAscii, lowerAscii);
}

template <class Range> bool containsIgnoringCase(const Range& ids, std::string_view id) {
    return std::ranges::any_of(ids, [id](std::string_view s) { return equalsIgnoringCase(s, id); });
}

std::uint64_t ticksIn(std::chrono::seconds d) {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<Time::duration>(d).count());
}

// Clock ticks from `from` to a later `to`, 0 otherwise. The difference of two instants can
// exceed the signed range, never the unsigned one.
std::uint64_t ticksUntil(Time from, Time to) {
    if (to <= from) return 0;
    return static_cast<std::uint64_t>(to.time_since_epoch().count()) -
           static_cast<std::uint64_t>(from.time_since_epoch().count());
}

std::int64_t saturatingSub(std::int64_t a, std::int64_t b) {
    std::int64_t result = 0;
    if (!__builtin_sub_overflow(a, b, &result)) return result;
    return b < 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

} // namespace

const std::set<std::string, std::less<>>& luonCho() {
    static const std::set<std::string, std::less<>> ids{
        std::string(Paths::helperBundleId),
    };
    return ids;
}

bool choMo(std::optional<std::string_view> id, const Policy& policy) {
    if (!id || containsIgnoringCase(luonCho(), *id)) return true;
    if (policy.locked) return false;
    if (policy.mode != "hoc") return true;
    return containsIgnoringCase(policy.allowedApps, *id);
}

Policy hieuLuc(const Policy& p, Time /*fetchedAt*/, std::int64_t usedSinceMinutes, Time now) {
    Policy q = p;
    if (const auto end = p.grantEnd()) {
        if (now >= *end) {
            q.locked = true;
            q.lockReason = "het_gio";
            q.minutesLeft = 0;
            q.grantEndsAt.reset();
        } else {
            const std::uint64_t ticks = ticksUntil(now, *end);
            const std::uint64_t perMinute = ticksIn(std::chrono::minutes(1));
            q.minutesLeft = static_cast<std::int64_t>(ticks / perMinute + (ticks % perMinute != 0));
        }
        return q;
    }
    if (p.minutesLeft && !p.locked) {
        const std::int64_t left = saturatingSub(*p.minutesLeft, usedSinceMinutes);
        q.minutesLeft = std::max<std::int64_t>(left, 0);
        if (left < 1) {
            q.lockReason = "het_gio";
            if (p.learningApps.empty()) {
                q.locked = true;
            } else {
                q.mode = "hoc";
                q.allowedApps = p.learningApps;
            }
        }
    }
    return q;
}

std::string demNguoc(Time end, Time now) {
    const std::uint64_t s = ticksUntil(now, end) / ticksIn(std::chrono::seconds(1));
    const int minutes = static_cast<int>(s / 60 % 60);
    const int seconds = static_cast<int>(s % 60);
    char text[48];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%" PRIu64 ":%02d:%02d", s / 3600, minutes, seconds);
    else
        std::snprintf(text, sizeof text, "%02d:%02d", static_cast<int>(s / 60), seconds);
    return text;
}

std::string gio(std::optional<std::int64_t> minutes) {
    if (!minutes) return "Không giới hạn";
    const std::int64_t m = *minutes;
    if (m < 60) return std::to_string(m % 60) + " phút";
    if (m % 60 == 0) return std::to_string(m / 60) + " giờ";
    return std::to_string(m / 60) + " giờ " + std::to_string(m % 60) + " phút";
}

} // namespace tovu::Rules
