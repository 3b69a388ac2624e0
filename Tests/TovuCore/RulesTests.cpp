#include "TovuCore/Paths.hpp"
#include "TovuCore/Rules.hpp"
#include "support/DaemonFixtures.hpp"
#include "support/Support.hpp"

#include <gtest/gtest.h>
#include <limits>

namespace tovu {
namespace {

using namespace std::chrono;
using test::trialPolicy;
using test::utcTime;

constexpr auto maxMinutes = std::numeric_limits<std::int64_t>::max();
constexpr auto minMinutes = std::numeric_limits<std::int64_t>::min();
const Time now = utcTime(2025, 3, 1, 18, 30);

TEST(Rules, ChoMoAlwaysAllowedThenLockThenExactLearningMode) {
    const Policy locked = trialPolicy(true, "tu_do", {"com.example.game"});
    EXPECT_TRUE(Rules::choMo(std::nullopt, locked));
    EXPECT_TRUE(Rules::choMo("COM.Apple.FINDER", locked));
    EXPECT_TRUE(Rules::choMo(std::string(Paths::helperLabel), locked));
    EXPECT_FALSE(Rules::choMo("com.example.game", locked));

    EXPECT_TRUE(Rules::choMo("com.example.game", trialPolicy(false, "tu_do", {"org.khan"})));
    Policy learning = trialPolicy(false, "hoc", {"org.Khan.Academy"});
    learning.learningApps = {"com.example.game"}; // only allowedApps counts here
    EXPECT_TRUE(Rules::choMo("ORG.KHAN.ACADEMY", learning));
    EXPECT_FALSE(Rules::choMo("com.example.game", learning));
    EXPECT_FALSE(Rules::choMo("org.khan.academy2", learning));
    EXPECT_FALSE(Rules::choMo("org.khan.academy", trialPolicy(false, "hoc")));
}

TEST(Rules, HieuLucEndedGrantLocksRunningGrantOnlySetsMinutes) {
    Policy p = trialPolicy(false, "hoc", {"org.khan"});
    p.minutesLeft = 50;
    Policy over = p;
    over.locked = true;
    over.lockReason = "het_gio";
    over.minutesLeft = 0;
    for (const char* end :
         {"2025-03-01T18:30:00Z", "2025-03-02T01:30:00+07:00", "2025-03-01T18:29:59.999Z"}) {
        p.grantEndsAt = end;
        EXPECT_EQ(Rules::hieuLuc(p, now, 0, now), over) << end;
    }
    // Minutes left round up; the fetched lock and the minutes used do not matter.
    p.locked = true;
    p.lockReason = "ngu";
    const std::pair<const char*, std::int64_t> running[] = {
        {"18:31:30Z", 2}, {"18:30:59.100Z", 1}, {"18:32:00Z", 2}, {"18:32:00.001Z", 3}};
    for (const auto& [end, minutes] : running) {
        p.grantEndsAt = std::string("2025-03-01T") + end;
        Policy expected = p;
        expected.minutesLeft = minutes;
        EXPECT_EQ(Rules::hieuLuc(p, now - hours(1), 500, now), expected) << end;
    }
}

TEST(Rules, HieuLucDailyMinutesRunOutAndSaturate) {
    Policy p = trialPolicy(false, "tu_do", {"com.example.game"});
    p.minutesLeft = 30;
    Policy expected = p;
    expected.minutesLeft = 1;
    EXPECT_EQ(Rules::hieuLuc(p, now, 29, now), expected);

    expected.minutesLeft = 0;
    expected.lockReason = "het_gio";
    expected.locked = true;
    EXPECT_EQ(Rules::hieuLuc(p, now, 30, now), expected);
    EXPECT_EQ(Rules::hieuLuc(p, now, 45, now), expected);

    // With learning apps the child goes on with those only.
    p.learningApps = expected.learningApps = {"org.khan", "org.scratch"};
    expected.locked = false;
    expected.mode = "hoc";
    expected.allowedApps = p.learningApps;
    EXPECT_EQ(Rules::hieuLuc(p, now, 30, now), expected);

    // Locked by the parents, or unlimited: nothing decays.
    Policy locked = trialPolicy(true, "tu_do");
    locked.minutesLeft = 10;
    EXPECT_EQ(Rules::hieuLuc(locked, now, 50, now), locked);
    const Policy unlimited = trialPolicy(false, "tu_do");
    EXPECT_EQ(Rules::hieuLuc(unlimited, now, 5000, now), unlimited);
    // An unreadable grant counts as none; the arithmetic saturates.
    p.grantEndsAt = "2025-03-01 18:30:00";
    EXPECT_EQ(Rules::hieuLuc(p, now, 10, now).minutesLeft, 20);
    p.minutesLeft = minMinutes;
    EXPECT_EQ(Rules::hieuLuc(p, now, 1, now).minutesLeft, 0);
    p.minutesLeft = maxMinutes;
    EXPECT_EQ(Rules::hieuLuc(p, now, -1, now), p);
}

TEST(Rules, DemNguocAndGioTexts) {
    const std::pair<Time::duration, const char*> countdowns[] = {
        {-seconds(5), "00:00"},   {milliseconds(999), "00:00"}, {milliseconds(59'900), "00:59"},
        {seconds(3599), "59:59"}, {seconds(3600), "1:00:00"},   {hours(25), "25:00:00"}};
    for (const auto& [left, text] : countdowns)
        EXPECT_EQ(Rules::demNguoc(now + left, now), text);

    // Minutes alone and whole hours the agent's own views show.
    EXPECT_EQ(Rules::gio(61), "1 giờ 1 phút");
    EXPECT_EQ(Rules::gio(maxMinutes), "153722867280912930 giờ 7 phút");
}

} // namespace
} // namespace tovu
