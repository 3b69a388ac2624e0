#pragma once

#include "TovuProtocol/Models.hpp"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

// Pure decisions and texts derived from a Policy; safe from any thread.
namespace tovu::Rules {

// Identifiers that may always run (lower case).
const std::set<std::string, std::less<>>& luonCho();

// Whether the app with this identifier may stay open under the policy.
bool choMo(std::optional<std::string_view> id, const Policy& policy);

// The policy in force now, from the fetched policy and the minutes used since the fetch.
Policy hieuLuc(const Policy& p, Time fetchedAt, std::int64_t usedSinceMinutes, Time now);

// Countdown to end: "mm:ss" under an hour, else "h:mm:ss".
std::string demNguoc(Time end, Time now);

// An amount of minutes in words: "Không giới hạn", "45 phút", "1 giờ", "2 giờ 5 phút".
std::string gio(std::optional<std::int64_t> minutes);

} // namespace tovu::Rules
