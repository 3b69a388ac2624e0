#include "TovuCore/Iso.hpp"
#include "support/Support.hpp"

#include <gtest/gtest.h>

namespace tovu {
namespace {

using namespace std::chrono;
using test::utcTime;

TEST(Iso, ReadsOnlyBothInternetFormsWithTheirZone) {
    const Time t = utcTime(2025, 3, 1, 18, 30);
    EXPECT_EQ(Iso::parse("2025-03-01T18:30:00Z"), t);
    EXPECT_EQ(Iso::parse("2025-03-02T01:30:00.250+07:00"), t + 250ms);
    EXPECT_EQ(Iso::parse("2025-03-01T13:00:00-05:30"), t);
    // Digits past nanoseconds are dropped, not rounded into the next second.
    EXPECT_EQ(Iso::parse("2025-03-01T18:29:59.9999999999Z"), t - 1ns);
    EXPECT_EQ(Iso::parse("2024-02-29T12:00:00Z"), utcTime(2024, 2, 29, 12, 0));

    for (const char* text :
         {"", "2025-03-01 18:30:00", "2025-03-01T18:30:00", "2025-03-01T18:30Z",
          "2025-03-01T18:30:00.Z", "2025-03-01T18:30:00+0700", "2025-03-01T18:30:00Z ",
          "2025-02-29T18:30:00Z", "2025-13-01T18:30:00Z", "2025-03-01T24:00:00Z",
          "2025-03-01T18:30:00+24:00", "9999-12-31T23:59:59Z", "0001-01-01T00:00:00Z"})
        EXPECT_EQ(Iso::parse(text), std::nullopt) << '"' << text << '"';
}

} // namespace
} // namespace tovu
