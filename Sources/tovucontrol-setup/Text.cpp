#include "Text.hpp"

#include <algorithm>
#include <iterator>

namespace tovu::Text {

std::string trim(std::string_view s, std::string_view chars) {
    const auto first = s.find_first_not_of(chars);
    if (first == std::string_view::npos) return {};
    return std::string(s.substr(first, s.find_last_not_of(chars) - first + 1));
}

bool isUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t length;
        char32_t cp;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            cp = lead & 0x07;
        } else {
            return false;
        }
        if (s.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (next & 0x3F);
        }
        constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

std::string digits(std::string_view s) {
    std::string out;
    std::copy_if(s.begin(), s.end(), std::back_inserter(out),
                 [](char c) { return c >= '0' && c <= '9'; });
    return out;
}

} // namespace tovu::Text
