#include "TovuCore/Paths.hpp"
#include "TovuCore/Rules.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "support/DaemonFixtures.hpp"
#include "support/Support.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <limits>

namespace tovu {
namespace {

using namespace std::chrono;
using test::localTime;
using test::ScopedEnv;
using test::trialPolicy;
using test::utcTime;

constexpr auto maxMinutes = std::numeric_limits<std::int64_t>::max();
constexpr auto minMinutes = std::numeric_limits<std::int64_t>::min();
const Time now = utcTime(2025, 3, 1, 18, 30);

TEST(Rules, ChoMoAlwaysAllowedThenLockThenExactLearningMode) {
    const Policy locked = trialPolicy(true, "tu_do", {"com.example.game"});
    EXPECT_TRUE(Rules::choMo(std::nullopt, locked));
    EXPECT_TRUE(Rules::choMo("VN.Morvane.TOVUCONTROL.Helper", locked)); // the agent itself
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

using Giay = UsageTracker::Giay;

class UsageTrackerTest : public testing::Test {
protected:
    ScopedEnv tz{"TZ", "Asia/Ho_Chi_Minh"};
    UsageTracker tracker;
};

TEST_F(UsageTrackerTest, NgayUsesTheCurrentZone) {
    EXPECT_EQ(UsageTracker::ngay(utcTime(2025, 1, 4, 17, 0)), "2025-01-05");
    EXPECT_EQ(UsageTracker::ngay(utcTime(2025, 1, 4, 16, 59, 59)), "2025-01-04");
    // A zone changed without anyone calling tzset() still counts.
    setenv("TZ", "UTC", 1);
    EXPECT_EQ(UsageTracker::ngay(utcTime(2025, 1, 4, 17, 0)), "2025-01-04");
}

TEST_F(UsageTrackerTest, DoiAppAndChotBookTheFrontApp) {
    const auto at = [](int minute) { return localTime(2025, 3, 1, 10, minute); };
    tracker.doiApp("com.a", "Ă", at(0));
    tracker.chot(at(2));
    tracker.chot(at(2));
    tracker.doiApp("com.b", std::nullopt, at(5));
    tracker.doiApp(std::nullopt, "ignored", at(7));
    tracker.chot(at(30)); // nothing open, nothing booked
    tracker.doiApp("com.a", "A mới", at(40));
    EXPECT_EQ(tracker.giay(), (Giay{{"2025-03-01", {{"com.a", 300}, {"com.b", 120}}}}));
    EXPECT_EQ(tracker.ten(), (std::map<std::string, std::string>{{"com.a", "A mới"}}));
}

TEST_F(UsageTrackerTest, CongSplitsAtLocalMidnights) {
    tracker.cong("a", localTime(2025, 3, 1, 12, 0), localTime(2025, 3, 1, 12, 0));
    tracker.cong("a", localTime(2025, 3, 1, 12, 0), localTime(2025, 3, 1, 11, 0));
    tracker.cong("a", localTime(2025, 3, 1, 23, 50), localTime(2025, 3, 2, 0, 10));
    tracker.cong("b", localTime(2025, 2, 28, 22, 0), localTime(2025, 3, 2, 1, 0) + 250ms);
    EXPECT_EQ(tracker.giay(), (Giay{{"2025-02-28", {{"b", 7200}}},
                                    {"2025-03-01", {{"a", 600}, {"b", 86400}}},
                                    {"2025-03-02", {{"a", 600}, {"b", 3600.25}}}}));
}

TEST_F(UsageTrackerTest, DaylightSavingDaysGetTheirRealLength) {
    // In Sao Paulo the clocks jumped from 00:00 to 01:00: the day started at 01:00.
    const std::tuple<const char*, int, int, int, int> cases[] = {
        {"Europe/Berlin", 2025, 3, 30, 23},
        {"Europe/Berlin", 2025, 10, 26, 25},
        {"America/Sao_Paulo", 2018, 11, 4, 23}};
    for (const auto& [zone, year, month, day, length] : cases) {
        SCOPED_TRACE(std::string(zone) + " " + std::to_string(month));
        ScopedEnv local("TZ", zone);
        UsageTracker t;
        t.cong("a", localTime(year, month, day - 1, 12, 0), localTime(year, month, day + 1, 12, 0));
        ASSERT_EQ(t.giay().size(), 3u);
        EXPECT_EQ(t.giay().begin()->second.at("a"), 12 * 3600);
        EXPECT_EQ(std::next(t.giay().begin())->second.at("a"), length * 3600);
    }
}

// Restored minutes count where they are more than those measured; entries are whole minutes,
// with the id standing in for a name not known.
TEST_F(UsageTrackerTest, KhoiPhucKeepsTheLargerAmountAndEntriesAreWholeMinutes) {
    const std::string day = "2025-03-01";
    const Time start = localTime(2025, 3, 1, 10, 0);
    tracker.cong("a", start, start + 200s);
    tracker.cong("b", start, start + 400s);
    tracker.cong("org.c", start, start + 119s);
    tracker.cong("com.d", start, start + 59s);
    tracker.khoiPhuc({{day, "a", "Ă", 5}, {day, "b", "Bê", 5}});
    tracker.khoiPhuc({{"2025-03-02", "x", "Xê", 0}, {"2025-03-03", "e", "E", 2}});
    EXPECT_EQ(tracker.entries(day),
              (std::vector<UsageEntry>{
                  {day, "a", "Ă", 5}, {day, "b", "Bê", 6}, {day, "org.c", "org.c", 1}}));
    EXPECT_TRUE(tracker.entries("2025-03-02").empty());
    EXPECT_EQ(tracker.entries("2025-03-03"),
              (std::vector<UsageEntry>{{"2025-03-03", "e", "E", 2}}));
    EXPECT_EQ(tracker.ten().at("x"), "Xê");
}

} // namespace
} // namespace tovu
