#include "TovuCore/UsageTracker.hpp"
#include "support/Support.hpp"

#include <cstdlib>
#include <gtest/gtest.h>

namespace tovu {
namespace {

using namespace std::chrono;
using test::localTime;
using test::ScopedEnv;
using test::utcTime;

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
