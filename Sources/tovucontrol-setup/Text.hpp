#pragma once

#include <string>
#include <string_view>

namespace tovu::Text {

inline constexpr std::string_view spacesAndTabs = " \t";
inline constexpr std::string_view whitespace = " \t\n\r\v\f";

// s without the given characters at either end.
std::string trim(std::string_view s, std::string_view chars);

// Whether s is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isUtf8(std::string_view s);

// The decimal digits 0-9 of s, in order.
std::string digits(std::string_view s);

} // namespace tovu::Text
