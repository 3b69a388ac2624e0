#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

// What the family computer's programs, the parents' server and its console agree on: the
// words of the text-valued fields and how long each text and number may be. The server
// refuses what lies outside; the computer cleans and clips before it stores or sends.
namespace tovu::Contract {

// `Policy.mode`.
namespace Mode {
inline constexpr std::string_view free = "tu_do";
inline constexpr std::string_view learning = "hoc";
inline constexpr std::string_view locked = "khoa";
} // namespace Mode

// `Policy.lockReason`; a lock without a reason is the parents' own.
namespace LockReason {
inline constexpr std::string_view timeUp = "het_gio";
inline constexpr std::string_view outsideHours = "ngoai_gio";
inline constexpr std::string_view bedtime = "ngu";
} // namespace LockReason

// The headline of a lock for its reason (absent or unknown: the parents' lock).
std::string lockTitle(std::string_view reason);
inline constexpr std::string_view parentsLockTitle = "Bố mẹ đang khoá máy";

// The kind of a child's request.
namespace Kind {
inline constexpr std::string_view moreTime = "them_gio";
inline constexpr std::string_view exchange = "doi_diem";
} // namespace Kind

// `RequestResult.status` and `RequestState.status`.
namespace Status {
inline constexpr std::string_view waiting = "cho";
inline constexpr std::string_view granted = "duoc";
inline constexpr std::string_view refused = "tu_choi";
inline constexpr std::string_view replaced = "thay";
inline constexpr std::string_view grantedAtOnce = "tu_duyet";
} // namespace Status

// How much a text may hold, in characters (code points) and in UTF-8 bytes.
struct TextLimit {
    std::size_t chars = 0;
    std::size_t bytes = 0;
};

namespace Text {
inline constexpr TextLimit appId{512, 1024};
inline constexpr TextLimit appName{200, 600};
inline constexpr TextLimit note{500, 1500};
inline constexpr TextLimit name{100, 300}; // a child's, parent's, family's or computer's name
inline constexpr TextLimit childUser{64, 256};
inline constexpr TextLimit reason{500, 1500}; // why protection does not hold
inline constexpr TextLimit version{100, 100}; // OS and agent versions
inline constexpr TextLimit password{200, 400};
inline constexpr std::size_t minPasswordChars = 8;
} // namespace Text

struct Range {
    std::int64_t min = 0;
    std::int64_t max = 0;
    bool contains(std::int64_t v) const { return v >= min && v <= max; }
};

namespace Number {
inline constexpr Range minutes{1, 1440};      // of a request, a grant, an exchange
inline constexpr Range dailyMinutes{0, 1440}; // a day's allowance, a day's use of one app
inline constexpr Range pointsPerMinute{1, 1000};
inline constexpr Range exchangeCapMinutes{0, 1440};
inline constexpr Range pointsDelta{-1000000, 1000000};
} // namespace Number

// How long the server holds a computer's wait before it answers that nothing changed, and how
// often it sends a space meanwhile, so that no one on the way takes the line for dead.
inline constexpr std::chrono::seconds longestWait{600};
inline constexpr std::chrono::seconds waitHeartbeat{30};

inline constexpr std::size_t maxApps = 500;            // in a list of the rules
inline constexpr std::size_t maxUsageEntries = 3000;   // in one sync
inline constexpr std::size_t maxBodyBytes = 64 * 1024; // of any request to the server

// Text as it may cross: valid UTF-8 (a broken sequence is left out), without control or
// bidirectional-override characters (tabs and line breaks become spaces), without spaces at
// either end. Never longer than the input.
std::string tidy(std::string_view text);
// Whether text is within both bounds of limit.
bool fits(std::string_view text, const TextLimit& limit);
std::size_t characters(std::string_view utf8);
// tidy(text), cut at a character and ended with "…" when it does not fit; what comes out
// always fits and is its own tidy().
std::string clip(std::string_view text, const TextLimit& limit);

// Everything above as one JSON object, for the console's generated module.
nlohmann::json describe();

} // namespace tovu::Contract
