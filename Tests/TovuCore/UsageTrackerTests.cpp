#include "TovuCore/UsageTracker.hpp"
#include "support/Support.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <limits>

using namespace tovu;
using std::chrono::milliseconds;
using tovu::test::localTime;
using tovu::test::ScopedEnv;
using tovu::test::utcTime;

namespace {

class UsageTrackerTest : public testing::Test {
protected:
    // Seconds booked to app on the day key, 0 when none.
    double booked(const std::string& day, const std::string& app) const {
        const auto d = tracker.giay().find(day);
        if (d == tracker.giay().end()) return 0;
        const auto a = d->second.find(app);
        return a == d->second.end() ? 0 : a->second;
    }

    ScopedEnv tz{"TZ", "Asia/Ho_Chi_Minh"};
    UsageTracker tracker;
};

} // namespace

TEST_F(UsageTrackerTest, NgayUsesTheCurrentZone) {
    EXPECT_EQ(UsageTracker::ngay(utcTime(2025, 1, 4, 17, 0)), "2025-01-05");
    EXPECT_EQ(UsageTracker::ngay(utcTime(2025, 1, 4, 16, 59, 59)), "2025-01-04");
    // A zone changed without anyone calling tzset() still counts.
    setenv("TZ", "UTC", 1);
    EXPECT_EQ(UsageTracker::ngay(utcTime(2025, 1, 4, 17, 0)), "2025-01-04");
    // Half a second before 1970 still belongs to the last day of 1969.
    EXPECT_EQ(UsageTracker::ngay(utcTime(1970, 1, 1, 0, 0) - milliseconds(500)), "1969-12-31");
}

TEST_F(UsageTrackerTest, DoiAppAndChotBookTheFrontApp) {
    tracker.doiApp("com.a", "Ă", localTime(2025, 3, 1, 10, 0));
    tracker.chot(localTime(2025, 3, 1, 10, 2));
    EXPECT_EQ(booked("2025-03-01", "com.a"), 120);
    ASSERT_TRUE(tracker.dangMo());
    EXPECT_EQ(*tracker.dangMo(), (UsageTracker::DangMo{"com.a", localTime(2025, 3, 1, 10, 2)}));
    tracker.chot(localTime(2025, 3, 1, 10, 2));
    EXPECT_EQ(booked("2025-03-01", "com.a"), 120);

    tracker.doiApp("com.b", std::nullopt, localTime(2025, 3, 1, 10, 5));
    EXPECT_EQ(booked("2025-03-01", "com.a"), 300);
    tracker.doiApp(std::nullopt, "ignored", localTime(2025, 3, 1, 10, 7));
    EXPECT_EQ(booked("2025-03-01", "com.b"), 120);
    EXPECT_FALSE(tracker.dangMo());
    tracker.chot(localTime(2025, 3, 1, 11, 0));
    EXPECT_EQ(booked("2025-03-01", "com.b"), 120);

    tracker.doiApp("com.a", "A mới", localTime(2025, 3, 1, 12, 0));
    EXPECT_EQ(tracker.ten(), (std::map<std::string, std::string>{{"com.a", "A mới"}}));
}

TEST_F(UsageTrackerTest, CongSplitsAtLocalMidnights) {
    tracker.cong("a", localTime(2025, 3, 1, 12, 0), localTime(2025, 3, 1, 12, 0));
    tracker.cong("a", localTime(2025, 3, 1, 12, 0), localTime(2025, 3, 1, 11, 0));
    EXPECT_TRUE(tracker.giay().empty());

    tracker.cong("a", localTime(2025, 3, 1, 23, 50), localTime(2025, 3, 2, 0, 10));
    EXPECT_EQ(booked("2025-03-01", "a"), 600);
    EXPECT_EQ(booked("2025-03-02", "a"), 600);

    tracker.cong("b", localTime(2025, 2, 27, 22, 0),
                 localTime(2025, 3, 2, 1, 0) + milliseconds(250));
    EXPECT_EQ(booked("2025-02-27", "b"), 7200);
    EXPECT_EQ(booked("2025-02-28", "b"), 86400);
    EXPECT_EQ(booked("2025-03-01", "b"), 86400);
    EXPECT_EQ(booked("2025-03-02", "b"), 3600.25);
    EXPECT_EQ(tracker.giay().size(), 4u);
}

TEST_F(UsageTrackerTest, DaylightSavingDaysGetTheirRealLength) {
    struct Case {
        const char* zone;
        int year, month, day;
        double hours;
    };
    const Case cases[] = {
        {"America/New_York", 2025, 3, 9, 23},
        {"America/New_York", 2025, 11, 2, 25},
        {"Europe/Berlin", 2025, 3, 30, 23},
        {"Europe/Berlin", 2025, 10, 26, 25},
        // Here the clocks jumped from 00:00 to 01:00: the day started at 01:00.
        {"America/Sao_Paulo", 2018, 11, 4, 23},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zone);
        ScopedEnv zone("TZ", c.zone);
        UsageTracker t;
        const Time before = localTime(c.year, c.month, c.day - 1, 12, 0);
        const Time after = localTime(c.year, c.month, c.day + 1, 12, 0);
        t.cong("a", before, after);
        ASSERT_EQ(t.giay().size(), 3u);
        EXPECT_EQ(t.giay().at(UsageTracker::ngay(before)).at("a"), 12 * 3600);
        EXPECT_EQ(t.giay().at(UsageTracker::ngay(before + std::chrono::hours(24))).at("a"),
                  c.hours * 3600);
        EXPECT_EQ(t.giay().at(UsageTracker::ngay(after)).at("a"), 12 * 3600);
    }
}

TEST_F(UsageTrackerTest, EntriesInWholeMinutesByAppId) {
    const Time start = localTime(2025, 3, 1, 8, 0);
    tracker.doiApp("vn.c", "Cờ", start);
    tracker.doiApp("org.b", std::nullopt, start + std::chrono::seconds(3600));
    tracker.doiApp("com.a", "A", start + std::chrono::seconds(3719));
    tracker.doiApp("com.z", "Z", start + std::chrono::seconds(3778));
    tracker.doiApp(std::nullopt, std::nullopt, start + std::chrono::seconds(3898));
    EXPECT_EQ(tracker.entries("2025-03-01"), (std::vector<UsageEntry>{
                                                 {"2025-03-01", "com.z", "Z", 2},
                                                 {"2025-03-01", "org.b", "org.b", 1},
                                                 {"2025-03-01", "vn.c", "Cờ", 60},
                                             }));
    EXPECT_TRUE(tracker.entries("2025-03-02").empty());
}

TEST_F(UsageTrackerTest, KhoiPhucKeepsTheLargerAmount) {
    tracker.cong("a", localTime(2025, 3, 1, 10, 0), localTime(2025, 3, 1, 10, 0, 200));
    tracker.cong("b", localTime(2025, 3, 1, 10, 0), localTime(2025, 3, 1, 10, 0, 400));
    tracker.khoiPhuc({
        {"2025-03-01", "a", "Ă", 5},
        {"2025-03-01", "b", "Bê", 5},
        {"2025-03-01", "b", "Bê", -1000},
        {"2025-03-02", "c", "Xê", 0},
        {"2025-03-02", "d", "Đê", -3},
        {"2025-03-03", "e", "E", 2},
    });
    EXPECT_EQ(booked("2025-03-01", "a"), 300);
    EXPECT_EQ(booked("2025-03-01", "b"), 400);
    EXPECT_FALSE(tracker.giay().contains("2025-03-02"));
    EXPECT_EQ(booked("2025-03-03", "e"), 120);
    EXPECT_EQ(tracker.ten(), (std::map<std::string, std::string>{
                                 {"a", "Ă"}, {"b", "Bê"}, {"c", "Xê"}, {"d", "Đê"}, {"e", "E"}}));

    // A corrupt stored count must neither overflow nor come back as a wrong number.
    constexpr auto most = std::numeric_limits<std::int64_t>::max();
    tracker.khoiPhuc({{"2025-03-01", "a", "Ă", most}});
    EXPECT_EQ(tracker.entries("2025-03-01").front().minutes, most);
}
