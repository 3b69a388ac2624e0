#include "TovuProtocol/Contract.hpp"

#include <gtest/gtest.h>

namespace tovu {
namespace {

using namespace Contract;

const std::string emoji = "\xF0\x9F\x8E\xAE"; // 🎮, four bytes
const std::string bidi = "\xE2\x80\xAE";      // right-to-left override

std::string times(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

TEST(Contract, TidyKeepsTextAndDropsWhatMustNotCross) {
    const std::pair<std::string, std::string> cases[] = {
        {"  Bé Na  ", "Bé Na"},
        {"a\tb\r\nc", "a b  c"},
        {"x" + bidi + "y\x01\x7F", "xy"},
        {"\xC2\x85z", "z"}, // C1 control
        {"ab\xFF\xC0\xAF"
         "c",
         "abc"},                  // stray byte, overlong "/"
        {"\xED\xA0\x80ok", "ok"}, // a surrogate's encoding
        {"\xF0\x9F\x8E", ""},     // cut short
        {"\xE1\xBA\xA1" + emoji, "\xE1\xBA\xA1" + emoji},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(tidy(in), out) << in;
}

// What the computer sends after clip is what the server takes: within both bounds and its own
// tidy, for each field and each text a child's programs can produce.
TEST(Contract, ClipAlwaysFitsAndIsClean) {
    const std::string hostile[] = {
        "/home/bin/" + times("thư mục dài/", 60) + "trò chơi", // 400+ bytes of a path
        times(emoji, 300),
        times("ạ", 700),
        times("a", 5000),
        times(" " + bidi + "\n", 400) + "x",
        times("\xE1\xBA", 500), // nothing but broken sequences
    };
    for (const auto limit : {Text::appId, Text::appName, Text::note, Text::name}) {
        for (const auto& text : hostile) {
            const auto out = clip(text, limit);
            EXPECT_TRUE(fits(out, limit)) << out;
            EXPECT_EQ(tidy(out), out);
            EXPECT_EQ(out.ends_with("…"), !fits(tidy(text), limit)) << out;
        }
    }
    // Cut at a character: the emoji stay whole.
    EXPECT_EQ(clip(times(emoji, 300), Text::appName), times(emoji, 149) + "…");
    EXPECT_EQ(clip("Bé Na", Text::name), "Bé Na");
}

} // namespace
} // namespace tovu
