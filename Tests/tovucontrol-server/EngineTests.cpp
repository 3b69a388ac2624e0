// The rules engine: what policy a child's devices get for rules, state and the time of day.
#include "Engine.hpp"
#include "support/Support.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// Designated initializers leave every other member at its default, on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace tovu;
using namespace tovu::server;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

const Time now = test::utcTime(2026, 12, 7, 10, 0); // a Monday

Span span(int fromH, int fromM, int toH, int toM) {
    return {fromH * 60 + fromM, toH * 60 + toM};
}

const Span day = span(8, 0, 20, 0);
const Span night = span(21, 0, 6, 30);

struct Case {
    const char* name;
    int minuteOfDay = 600;
    std::optional<std::int64_t> monday, tuesday; // minutes per day
    std::int64_t used = 0, underGrant = 0;
    std::optional<Span> hours, bedtime;
    bool byParent = false, learning = false;
    std::optional<Time> grantEnd;
    bool locked = false;
    std::optional<std::string> reason;
    std::optional<std::int64_t> left;
    std::string mode = "tu_do";
};

} // namespace

TEST(Engine, PolicyForRulesStateAndTime) {
    // clang-format off
    const Case cases[] = {
        {.name = "other weekday's limit does not count", .tuesday = 10, .used = 60},
        {.name = "used up with learning apps", .monday = 60, .used = 70, .learning = true,
         .reason = "het_gio", .left = 0, .mode = "hoc"},
        {.name = "minutes under a grant are not the day's", .monday = 60, .used = 80,
         .underGrant = 30, .left = 10},
        {.name = "before the hours", .minuteOfDay = 479, .hours = day, .locked = true,
         .reason = "ngoai_gio"},
        {.name = "hours begin", .minuteOfDay = 480, .hours = day},
        {.name = "hours end", .minuteOfDay = 1200, .hours = day, .locked = true,
         .reason = "ngoai_gio"},
        {.name = "bedtime across midnight", .minuteOfDay = 1380, .bedtime = night,
         .locked = true, .reason = "ngu"},
        {.name = "bedtime over", .minuteOfDay = 390, .bedtime = night},
        {.name = "bedtime before the hours", .minuteOfDay = 60, .hours = day,
         .bedtime = span(0, 0, 7, 0), .locked = true, .reason = "ngu"},
        {.name = "parent's lock beats a grant", .byParent = true, .grantEnd = now + 1h,
         .locked = true},
        {.name = "grant lifts the limits", .monday = 0, .bedtime = span(9, 0, 11, 0),
         .grantEnd = now + 90s, .left = 2},
        {.name = "grant ending now is over", .monday = 0, .grantEnd = now, .locked = true,
         .reason = "het_gio", .left = 0},
    };
    // clang-format on
    for (const auto& c : cases) {
        ChildRules rules{
            .dailyMinutes = {c.monday, c.tuesday}, .hours = {c.hours}, .bedtime = c.bedtime};
        if (c.learning) rules.learningApps = {"org.kde.kalzium"};
        const ChildState state{.lockedByParent = c.byParent,
                               .grantEnd = c.grantEnd,
                               .usedToday = c.used,
                               .usedUnderGrant = c.underGrant};
        const auto p = Engine::policy(rules, state, {"2026-12-07", 0, c.minuteOfDay}, now);
        EXPECT_EQ(p.locked, c.locked) << c.name;
        EXPECT_EQ(p.lockReason, c.reason) << c.name;
        EXPECT_EQ(p.minutesLeft, c.left) << c.name;
        EXPECT_EQ(p.mode, c.mode) << c.name;
    }
}

TEST(Engine, GrantCarriesItsEndAndAppsAndAWaitingRequestAsksSooner) {
    const ChildRules rules{.allowedApps = {"a"}};
    const ChildState state{
        .grantEnd = now + 15min, .grantApps = {"b", "a"}, .requestWaiting = true};
    const auto p = Engine::policy(rules, state, {"2026-12-07", 0, 600}, now);
    EXPECT_EQ(p.grantEndsAt, "2026-12-07T10:15:00Z");
    EXPECT_EQ(p.minutesLeft, 15);
    EXPECT_EQ(p.allowedApps, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(p.nextCheckSec, 10);
}

TEST(Engine, PointsExchangeNeedsPermissionAndBalance) {
    // The cap and the price are followed through the device API.
    ChildRules rules{.canExchangePoints = true, .pointsPerMinute = 2, .exchangeCapMinutes = 30};
    EXPECT_TRUE(Engine::canExchange(rules, 60, 0, 30));
    EXPECT_FALSE(Engine::canExchange(rules, 59, 0, 30));
    rules.canExchangePoints = false;
    EXPECT_FALSE(Engine::canExchange(rules, 1000, 0, 5));
}

// Every field's way through the console and back is followed in the browser test.
TEST(Engine, RulesRefuseWhatTheyCannotMean) {
    const json j = ChildRules{};
    const std::vector<std::pair<const char*, json>> bad = {
        {"/bedtime", {{"from", "08:00"}, {"to", "08:00"}}},
        {"/dailyMinutes/0", -1},
        {"/dailyMinutes", json::array({1, 2})},
        {"/mode", "khoa"},
        {"/canExchangePoints", "yes"},
    };
    for (const auto& [pointer, value] : bad) {
        json b = j;
        b[json::json_pointer(pointer)] = value;
        EXPECT_THROW(b.get<ChildRules>(), BadInput) << pointer << " = " << value;
    }
}
