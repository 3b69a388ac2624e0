#include "TovuProtocol/Contract.hpp"

#include <nlohmann/json.hpp>

namespace tovu::Contract {
namespace {

constexpr std::string_view ellipsis = "…";

// The code point at text[i] and its length in bytes; length 0 for a byte that starts no
// valid sequence (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut short).
std::pair<char32_t, std::size_t> decode(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) return {lead, 1};
    const std::size_t len = lead >= 0xC2 && lead <= 0xDF   ? 2
                            : lead >= 0xE0 && lead <= 0xEF ? 3
                            : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                           : 0;
    if (len == 0 || i + len > text.size()) return {0, 0};
    char32_t cp = lead & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) return {0, 0};
        cp = (cp << 6) | (b & 0x3F);
    }
    const char32_t least = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, 0};
    return {cp, len};
}

bool hidden(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

nlohmann::json limitJson(const TextLimit& l) {
    return {{"chars", l.chars}, {"bytes", l.bytes}};
}

nlohmann::json rangeJson(const Range& r) {
    return {{"min", r.min}, {"max", r.max}};
}

} // namespace

std::string lockTitle(std::string_view reason) {
    if (reason == LockReason::bedtime) return "Đến giờ ngủ rồi";
    if (reason == LockReason::outsideHours) return "Ngoài giờ dùng máy";
    if (reason == LockReason::timeUp) return "Hết giờ hôm nay";
    return std::string(parentsLockTitle);
}

std::string tidy(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto [cp, len] = decode(text, i);
        if (len == 0) {
            ++i;
            continue;
        }
        if (cp == '\t' || cp == '\n' || cp == '\r')
            out += ' ';
        else if (!hidden(cp))
            out.append(text.substr(i, len));
        i += len;
    }
    const auto first = out.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

std::size_t characters(std::string_view utf8) {
    std::size_t n = 0;
    for (unsigned char c : utf8)
        n += (c & 0xC0) != 0x80;
    return n;
}

bool fits(std::string_view text, const TextLimit& limit) {
    return text.size() <= limit.bytes && characters(text) <= limit.chars;
}

std::string clip(std::string_view text, const TextLimit& limit) {
    auto clean = tidy(text);
    if (fits(clean, limit)) return clean;
    // Room for the ellipsis: one character, three bytes.
    std::size_t end = 0, chars = 0;
    while (end < clean.size()) {
        const auto len = decode(clean, end).second;
        if (chars + 2 > limit.chars || end + len + ellipsis.size() > limit.bytes) break;
        end += len;
        ++chars;
    }
    return clean.substr(0, end) + std::string(ellipsis);
}

nlohmann::json describe() {
    using nlohmann::json;
    json lockTitles = json::object();
    for (auto reason : {LockReason::timeUp, LockReason::outsideHours, LockReason::bedtime})
        lockTitles[std::string(reason)] = lockTitle(reason);
    return {
        {"mode", {{"free", Mode::free}, {"learning", Mode::learning}, {"locked", Mode::locked}}},
        {"lockReason",
         {{"timeUp", LockReason::timeUp},
          {"outsideHours", LockReason::outsideHours},
          {"bedtime", LockReason::bedtime}}},
        {"lockTitles", lockTitles},
        {"parentsLockTitle", parentsLockTitle},
        {"kind", {{"moreTime", Kind::moreTime}, {"exchange", Kind::exchange}}},
        {"status",
         {{"waiting", Status::waiting},
          {"granted", Status::granted},
          {"refused", Status::refused},
          {"replaced", Status::replaced},
          {"grantedAtOnce", Status::grantedAtOnce}}},
        {"text",
         {{"appId", limitJson(Text::appId)},
          {"appName", limitJson(Text::appName)},
          {"note", limitJson(Text::note)},
          {"name", limitJson(Text::name)},
          {"password", limitJson(Text::password)}}},
        {"minPasswordChars", Text::minPasswordChars},
        {"number",
         {{"minutes", rangeJson(Number::minutes)},
          {"dailyMinutes", rangeJson(Number::dailyMinutes)},
          {"pointsPerMinute", rangeJson(Number::pointsPerMinute)},
          {"exchangeCapMinutes", rangeJson(Number::exchangeCapMinutes)},
          {"pointsDelta", rangeJson(Number::pointsDelta)}}},
        {"maxApps", maxApps}};
}

} // namespace tovu::Contract
