#include "TovuCore/Iso.hpp"
#include "support/Support.hpp"

#include <gtest/gtest.h>

namespace tovu {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using test::utcTime;

TEST(Iso, ReadsBothInternetForms) {
    EXPECT_EQ(Iso::parse("2025-03-01T18:30:00Z"), utcTime(2025, 3, 1, 18, 30));
    EXPECT_EQ(Iso::parse("2025-03-01T18:30:00.5Z"),
              utcTime(2025, 3, 1, 18, 30) + milliseconds(500));
    EXPECT_EQ(Iso::parse("2025-03-01T18:30:00.250+07:00"),
              utcTime(2025, 3, 1, 11, 30) + milliseconds(250));
    EXPECT_EQ(Iso::parse("2025-03-01T18:30:00-05:30"), utcTime(2025, 3, 2, 0, 0));
    EXPECT_EQ(Iso::parse("2025-03-01T00:30:00+01:00"), utcTime(2025, 2, 28, 23, 30));
    // Digits past nanoseconds are dropped, not rounded into the next second.
    EXPECT_EQ(Iso::parse("2025-03-01T18:30:59.9999999999Z"),
              utcTime(2025, 3, 1, 18, 30, 59) + nanoseconds(999999999));
    EXPECT_EQ(Iso::parse("2024-02-29T12:00:00Z"), utcTime(2024, 2, 29, 12, 0));
    EXPECT_EQ(Iso::parse("1970-01-01T00:00:00Z"), Time{});
}

TEST(Iso, RefusesEverythingElse) {
    for (const char* text :
         {"", "2025-03-01 18:30:00", "2025-03-01T18:30:00", "2025-03-01 18:30:00Z",
          "2025-03-01T18:30Z", "2025-03-01T18:30:00.Z", "2025-03-01T18:30:00,5Z",
          "2025-03-01T18:30:00.5", "2025-03-01T18:30:00+0700", "2025-03-01T18:30:00+07",
          "2025-03-01T18:30:00+24:00", "2025-03-01T18:30:00+07:60", "2025-03-01T18:30:00ZZ",
          " 2025-03-01T18:30:00Z", "2025-03-01T18:30:00Z ", "2025-3-01T18:30:00Z",
          "+2025-03-01T18:30:00Z", "2025-03-01T1a:30:00Z",
          // out of range
          "2025-13-01T18:30:00Z", "2025-00-01T18:30:00Z", "2025-02-30T18:30:00Z",
          "2025-02-29T18:30:00Z", "2025-04-31T18:30:00Z", "2025-03-00T18:30:00Z",
          "2025-03-01T24:00:00Z", "2025-03-01T18:60:00Z", "2025-03-01T18:30:60Z",
          // beyond what Time can hold
          "9999-12-31T23:59:59Z", "0001-01-01T00:00:00Z"})
        EXPECT_EQ(Iso::parse(text), std::nullopt) << '"' << text << '"';
}

} // namespace
} // namespace tovu
