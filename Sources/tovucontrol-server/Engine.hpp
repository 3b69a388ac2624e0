#pragma once

#include "Errors.hpp"
#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Models.hpp"
#include "Zone.hpp"

#include <array>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tovu::server {

// Minutes from midnight; `to` may be earlier than `from` (the span crosses midnight).
struct Span {
    int from = 0;
    int to = 0;
    bool contains(int minuteOfDay) const;
    bool operator==(const Span&) const = default;
};

// What the parents set for one child; applies to all the child's devices.
struct ChildRules {
    std::array<std::optional<std::int64_t>, 7> dailyMinutes{}; // Monday first
    std::array<std::optional<Span>, 7> hours{};                // when the computer may be used
    std::optional<Span> bedtime;
    std::string mode{Contract::Mode::free};
    std::vector<std::string> allowedApps;
    std::vector<std::string> learningApps;
    bool canExchangePoints = false;
    std::int64_t pointsPerMinute = 1;
    std::int64_t exchangeCapMinutes = 60;

    bool operator==(const ChildRules&) const = default;
};

// Decoding throws BadInput with the parent's message.
void to_json(nlohmann::json& j, const ChildRules& v);
void from_json(const nlohmann::json& j, ChildRules& v);

// What the server knows about the child at this moment, besides the rules.
struct ChildState {
    std::string name;
    bool lockedByParent = false;
    // Extra time lifts the day's allowance until grantEnd; the part a parent gave, until
    // parentGrantEnd, lifts bedtime and the hours too. Nothing but a parent lifts their lock.
    std::optional<Time> grantEnd;
    std::optional<Time> parentGrantEnd;
    std::vector<std::string> grantApps; // apps granted with the running grant
    // One night's later bedtime: until then neither bedtime nor the hours lock; the day's
    // minutes and the parents' lock still do.
    std::optional<Time> bedtimeDelayedUntil;
    bool requestWaiting = false;
    // Today's minutes on all the child's devices, and those of them used under a grant.
    std::int64_t usedToday = 0;
    std::int64_t usedUnderGrant = 0;
};

namespace Engine {

// The policy for the child's devices now. Pure: the same inputs give the same policy.
Policy policy(const ChildRules& rules, const ChildState& state, const LocalTime& local, Time now);

// The instant of `untilMinute` (minutes from midnight) in the bedtime of the night now running
// or coming, for a later bedtime. Throws BadInput when there is no bedtime or the minute is not
// in it.
Time lateBedtime(const ChildRules& rules, const LocalTime& local, Time now, int untilMinute);

// When the lock of `reason` ends by the rules alone, as minutes from midnight: the end of
// bedtime, or the start of today's hours still to come. Absent when the rules do not say (the
// parents' lock, the day's minutes used up, hours that end for the day).
std::optional<int> lockEnd(const ChildRules& rules, const LocalTime& local,
                           const std::optional<std::string>& reason);

// "07:30" for 450, and back; reading throws BadInput.
std::string clockText(int minuteOfDay);
int readClockText(const std::string& text);

// The points a child pays for minutes.
std::int64_t price(const ChildRules& rules, std::int64_t minutes);
// Why the child cannot exchange points for minutes now, in words for the child; absent when
// the exchange goes ahead. inForce: the policy now. Bought time never lifts a lock but the
// day's allowance.
std::optional<std::string> exchangeRefusal(const ChildRules& rules, const Policy& inForce,
                                           std::int64_t balance, std::int64_t exchangedToday,
                                           std::int64_t minutes);

} // namespace Engine
} // namespace tovu::server
