#include "TovuCore/Paths.hpp"
#include "TovuCore/Rules.hpp"
#include "support/Support.hpp"

#include <gtest/gtest.h>
#include <limits>

using namespace tovu;
using std::chrono::milliseconds;
using tovu::test::utcTime;

namespace {

constexpr auto maxMinutes = std::numeric_limits<std::int64_t>::max();
constexpr auto minMinutes = std::numeric_limits<std::int64_t>::min();

Policy policy(std::string mode = "tu_do") {
    Policy p;
    p.serverTime = "2025-03-01T18:00:00Z";
    p.childName = "An";
    p.mode = std::move(mode);
    p.nextCheckSec = 60;
    return p;
}

const Time now = utcTime(2025, 3, 1, 18, 30, 0);

} // namespace

TEST(RulesChoMo, AlwaysAllowedAppsSurviveALock) {
    Policy locked = policy("hoc");
    locked.locked = true;
    locked.allowedApps = {"com.example.game"};
    EXPECT_TRUE(Rules::choMo(std::nullopt, locked));
    EXPECT_TRUE(Rules::choMo("COM.Apple.FINDER", locked));
    EXPECT_TRUE(Rules::choMo(Paths::helperLabel, locked));
    for (const auto& id : Rules::luonCho())
        EXPECT_TRUE(Rules::choMo(id, locked)) << id;
    EXPECT_FALSE(Rules::choMo("com.example.game", locked));
    EXPECT_EQ(Rules::luonCho().size(), 4u);
}

TEST(RulesChoMo, OnlyExactLearningModeRestrictsApps) {
    Policy free = policy("tu_do");
    free.allowedApps = {"org.khan.academy"};
    EXPECT_TRUE(Rules::choMo("com.example.game", free));
    free.mode = "HOC";
    EXPECT_TRUE(Rules::choMo("com.example.game", free));
    free.mode = "khoa";
    EXPECT_TRUE(Rules::choMo("com.example.game", free));

    Policy learning = policy("hoc");
    learning.allowedApps = {"org.Khan.Academy"};
    learning.learningApps = {"com.example.game"};
    EXPECT_TRUE(Rules::choMo("ORG.KHAN.ACADEMY", learning));
    EXPECT_FALSE(Rules::choMo("com.example.game", learning));
    EXPECT_FALSE(Rules::choMo("org.khan.academy2", learning));
    learning.allowedApps.clear();
    EXPECT_FALSE(Rules::choMo("org.khan.academy", learning));
    EXPECT_TRUE(Rules::choMo("com.apple.systempreferences", learning));
}

TEST(RulesHieuLuc, GrantOverLocksWithNothingLeft) {
    for (const char* end :
         {"2025-03-01T18:30:00Z", "2025-03-02T01:30:00+07:00", "2025-03-01T18:29:59.999Z"}) {
        Policy p = policy("hoc");
        p.allowedApps = {"org.khan.academy"};
        p.minutesLeft = 50;
        p.grantEndsAt = end;
        Policy expected = p;
        expected.locked = true;
        expected.lockReason = "het_gio";
        expected.minutesLeft = 0;
        expected.grantEndsAt.reset();
        EXPECT_EQ(Rules::hieuLuc(p, now, 0, now), expected) << end;
    }
}

TEST(RulesHieuLuc, RunningGrantRoundsSecondsLeftUpAndIgnoresUse) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"2025-03-01T18:31:30Z", 2},     {"2025-03-01T18:30:59.100Z", 1},
        {"2025-03-01T18:32:00Z", 2},     {"2025-03-01T18:32:00.001Z", 3},
        {"2025-03-01T18:30:00.001Z", 1}, {"2025-03-02T03:30:00+08:00", 60},
    };
    for (const auto& [end, minutes] : cases) {
        Policy p = policy();
        p.locked = true;
        p.lockReason = "ngu";
        p.minutesLeft = 5;
        p.grantEndsAt = end;
        Policy expected = p;
        expected.minutesLeft = minutes;
        EXPECT_EQ(Rules::hieuLuc(p, now - std::chrono::hours(1), 500, now), expected) << end;
    }
}

TEST(RulesHieuLuc, DailyMinutesRunOut) {
    Policy p = policy();
    p.minutesLeft = 30;
    p.allowedApps = {"com.example.game"};

    Policy left = p;
    left.minutesLeft = 1;
    EXPECT_EQ(Rules::hieuLuc(p, now, 29, now), left);

    Policy out = p;
    out.minutesLeft = 0;
    out.lockReason = "het_gio";
    out.locked = true;
    EXPECT_EQ(Rules::hieuLuc(p, now, 30, now), out);
    EXPECT_EQ(Rules::hieuLuc(p, now, 45, now), out);

    p.learningApps = {"org.khan.academy", "org.scratch"};
    Policy learning = p;
    learning.minutesLeft = 0;
    learning.lockReason = "het_gio";
    learning.mode = "hoc";
    learning.allowedApps = p.learningApps;
    EXPECT_EQ(Rules::hieuLuc(p, now, 30, now), learning);
    EXPECT_EQ(Rules::hieuLuc(p, now, 45, now), learning);
}

TEST(RulesHieuLuc, LockedUnlimitedOrUnparsableGrantPassesThrough) {
    Policy locked = policy();
    locked.locked = true;
    locked.minutesLeft = 10;
    EXPECT_EQ(Rules::hieuLuc(locked, now, 50, now), locked);

    const Policy unlimited = policy();
    EXPECT_EQ(Rules::hieuLuc(unlimited, now, 5000, now), unlimited);

    Policy badGrant = policy();
    badGrant.grantEndsAt = "2025-03-01 18:30:00";
    badGrant.minutesLeft = 30;
    Policy expected = badGrant;
    expected.minutesLeft = 20;
    EXPECT_EQ(Rules::hieuLuc(badGrant, now, 10, now), expected);
}

TEST(RulesHieuLuc, ExtremeValuesSaturate) {
    Policy p = policy();
    p.minutesLeft = minMinutes;
    const Policy q = Rules::hieuLuc(p, now, 1, now);
    EXPECT_EQ(q.minutesLeft, 0);
    EXPECT_TRUE(q.locked);

    p.minutesLeft = maxMinutes;
    EXPECT_EQ(Rules::hieuLuc(p, now, -1, now), p);

    // Five and a half centuries apart: more nanoseconds than a signed 64-bit count holds.
    p.grantEndsAt = "2262-01-01T00:00:00.5Z";
    EXPECT_EQ(Rules::hieuLuc(p, now, 0, utcTime(1700, 1, 1, 0, 0)).minutesLeft, 295583041);
}

TEST(RulesDemNguoc, FormatsShortAndLongCountdowns) {
    const std::pair<Time, const char*> cases[] = {
        {now - std::chrono::seconds(5), "00:00"},
        {now, "00:00"},
        {now + milliseconds(999), "00:00"},
        {now + milliseconds(59'900), "00:59"},
        {now + std::chrono::seconds(75), "01:15"},
        {now + std::chrono::seconds(3599), "59:59"},
        {now + std::chrono::seconds(3600), "1:00:00"},
        {now + std::chrono::seconds(3725), "1:02:05"},
        {now + std::chrono::hours(25) + milliseconds(500), "25:00:00"},
    };
    for (const auto& [end, text] : cases)
        EXPECT_EQ(Rules::demNguoc(end, now), text);
    EXPECT_EQ(Rules::demNguoc(utcTime(2262, 1, 1, 0, 0), utcTime(1700, 1, 1, 0, 0)),
              "4926384:00:00");
    EXPECT_EQ(Rules::demNguoc(utcTime(1700, 1, 1, 0, 0), utcTime(2262, 1, 1, 0, 0)), "00:00");
}

TEST(RulesGio, WordsForMinutes) {
    const std::pair<std::optional<std::int64_t>, const char*> cases[] = {
        {std::nullopt, "Không giới hạn"},
        {0, "0 phút"},
        {59, "59 phút"},
        {60, "1 giờ"},
        {61, "1 giờ 1 phút"},
        {125, "2 giờ 5 phút"},
        {1440, "24 giờ"},
        {1'000'000, "16666 giờ 40 phút"},
        {-5, "-5 phút"},
        {-65, "-5 phút"},
        {maxMinutes, "153722867280912930 giờ 7 phút"},
        {minMinutes, "-8 phút"},
    };
    for (const auto& [minutes, text] : cases)
        EXPECT_EQ(Rules::gio(minutes), text);
}
