// The rules engine: what policy a child's devices get for rules, state and the time of day.
#include "Engine.hpp"
#include "support/Support.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace tovu;
using namespace tovu::server;
using nlohmann::json;

namespace {

const Time now = test::utcTime(2026, 12, 7, 10, 0); // a Monday

struct Case {
    const char* name;
    std::function<void(ChildRules&, ChildState&)> setup;
    int minuteOfDay;
    bool locked;
    std::optional<std::string> reason;
    std::optional<std::int64_t> minutesLeft;
    std::string mode = "tu_do";
};

Span span(int fromH, int fromM, int toH, int toM) {
    return {fromH * 60 + fromM, toH * 60 + toM};
}

} // namespace

TEST(Engine, PolicyForRulesStateAndTime) {
    const auto none = [](ChildRules&, ChildState&) {};
    const std::vector<Case> cases = {
        {"no limits", none, 600, false, {}, {}},
        {"minutes left",
         [](auto& r, auto& s) { r.dailyMinutes[0] = 60, s.usedToday = 20; },
         600,
         false,
         {},
         40},
        {"used up", [](auto& r, auto& s) { r.dailyMinutes[0] = 60, s.usedToday = 60; }, 600, true,
         "het_gio", 0},
        {"other weekday's limit does not count",
         [](auto& r, auto& s) { r.dailyMinutes[1] = 10, s.usedToday = 60; },
         600,
         false,
         {},
         {}},
        {"used up with learning apps",
         [](auto& r, auto& s) {
             r.dailyMinutes[0] = 60, s.usedToday = 70, r.learningApps = {"org.kde.kalzium"};
         },
         600, false, "het_gio", 0, "hoc"},
        {"minutes under a grant are not the day's",
         [](auto& r, auto& s) { r.dailyMinutes[0] = 60, s.usedToday = 80, s.usedUnderGrant = 30; },
         600,
         false,
         {},
         10},
        {"before the hours",
         [](auto& r, auto&) { r.hours[0] = span(8, 0, 20, 0); },
         479,
         true,
         "ngoai_gio",
         {}},
        {"hours begin", [](auto& r, auto&) { r.hours[0] = span(8, 0, 20, 0); }, 480, false, {}, {}},
        {"hours end",
         [](auto& r, auto&) { r.hours[0] = span(8, 0, 20, 0); },
         1200,
         true,
         "ngoai_gio",
         {}},
        {"bedtime across midnight",
         [](auto& r, auto&) { r.bedtime = span(21, 0, 6, 30); },
         1380,
         true,
         "ngu",
         {}},
        {"bedtime over",
         [](auto& r, auto&) { r.bedtime = span(21, 0, 6, 30); },
         390,
         false,
         {},
         {}},
        {"bedtime before the hours",
         [](auto& r, auto&) { r.bedtime = span(0, 0, 7, 0), r.hours[0] = span(8, 0, 20, 0); },
         60,
         true,
         "ngu",
         {}},
        {"parent's lock", [](auto&, auto& s) { s.lockedByParent = true; }, 600, true, {}, {}},
        {"parent's lock beats a grant",
         [](auto&, auto& s) { s.lockedByParent = true, s.grantEnd = now + std::chrono::hours(1); },
         600,
         true,
         {},
         {}},
        {"grant lifts the limits",
         [](auto& r, auto& s) {
             r.dailyMinutes[0] = 0, r.bedtime = span(9, 0, 11, 0),
             s.grantEnd = now + std::chrono::seconds(90);
         },
         600,
         false,
         {},
         2},
        {"grant ending now is over",
         [](auto& r, auto& s) { r.dailyMinutes[0] = 0, s.grantEnd = now; }, 600, true, "het_gio",
         0},
    };
    for (const auto& c : cases) {
        ChildRules rules;
        ChildState state;
        state.name = "Bin";
        c.setup(rules, state);
        const auto p = Engine::policy(rules, state, {"2026-12-07", 0, c.minuteOfDay}, now);
        EXPECT_EQ(p.locked, c.locked) << c.name;
        EXPECT_EQ(p.lockReason, c.reason) << c.name;
        EXPECT_EQ(p.minutesLeft, c.minutesLeft) << c.name;
        EXPECT_EQ(p.mode, c.mode) << c.name;
        EXPECT_EQ(p.childName, "Bin");
        EXPECT_EQ(p.serverTime, "2026-12-07T10:00:00Z");
        EXPECT_EQ(p.nextCheckSec, 60);
    }
}

TEST(Engine, GrantCarriesItsEndAndAppsAndAWaitingRequestAsksSooner) {
    ChildRules rules;
    rules.mode = "hoc";
    rules.allowedApps = {"a"};
    rules.learningApps = {"l"};
    ChildState state;
    state.grantEnd = now + std::chrono::minutes(15);
    state.grantApps = {"b", "a"};
    state.requestWaiting = true;
    const auto p = Engine::policy(rules, state, {"2026-12-07", 0, 600}, now);
    EXPECT_EQ(p.grantEndsAt, "2026-12-07T10:15:00Z");
    EXPECT_EQ(p.minutesLeft, 15);
    EXPECT_EQ(p.allowedApps, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(p.learningApps, std::vector<std::string>{"l"});
    EXPECT_EQ(p.nextCheckSec, 10);
}

TEST(Engine, PointsExchangeNeedsPermissionBalanceAndRoomUnderTheCap) {
    ChildRules rules;
    rules.canExchangePoints = true;
    rules.pointsPerMinute = 2;
    rules.exchangeCapMinutes = 30;
    struct {
        std::int64_t balance, exchanged, minutes;
        bool allowed;
    } cases[] = {{60, 0, 30, true},
                 {59, 0, 30, false},
                 {100, 10, 20, true},
                 {100, 10, 21, false},
                 {100, 0, 0, false}};
    for (const auto& c : cases)
        EXPECT_EQ(Engine::canExchange(rules, c.balance, c.exchanged, c.minutes), c.allowed)
            << c.balance << " " << c.exchanged << " " << c.minutes;
    EXPECT_EQ(Engine::price(rules, 15), 30);
    rules.canExchangePoints = false;
    EXPECT_FALSE(Engine::canExchange(rules, 1000, 0, 5));
}

TEST(Engine, RulesRoundTripAndRefuseWhatTheyCannotMean) {
    ChildRules rules;
    rules.dailyMinutes[2] = 90;
    rules.hours[6] = span(7, 30, 21, 0);
    rules.bedtime = span(21, 30, 6, 0);
    rules.mode = "hoc";
    rules.learningApps = {"org.kde.kalzium"};
    const json j = rules;
    EXPECT_EQ(j["hours"][6], (json{{"from", "07:30"}, {"to", "21:00"}}));
    EXPECT_EQ(j.get<ChildRules>(), rules);

    const std::vector<std::pair<const char*, json>> bad = {
        {"/hours/0", {{"from", "25:00"}, {"to", "26:00"}}},
        {"/hours/0", {{"from", "7:30"}, {"to", "09:00"}}},
        {"/bedtime", {{"from", "08:00"}, {"to", "08:00"}}},
        {"/dailyMinutes/0", -1},
        {"/dailyMinutes/0", 1441},
        {"/dailyMinutes", json::array({1, 2})},
        {"/mode", "khoa"},
        {"/allowedApps", json::array({1})},
        {"/pointsPerMinute", 0},
        {"/canExchangePoints", "yes"},
    };
    for (const auto& [pointer, value] : bad) {
        json b = j;
        b[json::json_pointer(pointer)] = value;
        EXPECT_THROW(b.get<ChildRules>(), BadInput) << pointer << " = " << value;
    }
}
