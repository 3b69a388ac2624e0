#pragma once

#include "Clock.hpp"

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tovu {

// A JSON text that is malformed or does not have the shape of the record asked for.
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace Json {

// Compact text with sorted keys (nlohmann::json keeps keys in a std::map). Never throws:
// text that is not valid UTF-8 is written with U+FFFD in place of the invalid bytes.
std::string encode(const nlohmann::json& value);

template <class T> std::string encode(const T& value) { return encode(nlohmann::json(value)); }

// Parses a JSON text; throws DecodeError when it is not JSON. Trailing whitespace (the line
// feed of a socket message) is accepted.
nlohmann::json parse(std::string_view text);

// Parses and decodes a record; throws DecodeError on any failure.
template <class T> T decode(std::string_view text) { return parse(text).template get<T>(); }

template <class T> std::optional<T> tryDecode(std::string_view text) noexcept {
    try {
        return decode<T>(text);
    } catch (const DecodeError&) {
        return std::nullopt;
    }
}

// Dates are written as seconds (with fraction) since 2001-01-01T00:00:00Z.
double encodeDate(Time t);
Time decodeDate(double secondsSince2001);

// Strict readers for the fields of an object; each throws DecodeError naming the key when the
// key is missing (required only), null (required only) or of the wrong JSON type.
namespace field {
const nlohmann::json& object(const nlohmann::json& j);
std::string text(const nlohmann::json& o, const char* key);
std::optional<std::string> optText(const nlohmann::json& o, const char* key);
std::int64_t integer(const nlohmann::json& o, const char* key);
std::optional<std::int64_t> optInteger(const nlohmann::json& o, const char* key);
bool flag(const nlohmann::json& o, const char* key);
std::optional<bool> optFlag(const nlohmann::json& o, const char* key);
std::vector<std::string> textList(const nlohmann::json& o, const char* key);
std::optional<std::vector<std::map<std::string, std::string>>> optTextMaps(const nlohmann::json& o,
                                                                           const char* key);
std::optional<double> optNumber(const nlohmann::json& o, const char* key);

template <class T> T record(const nlohmann::json& o, const char* key) {
    auto it = object(o).find(key);
    if (it == o.end() || it->is_null())
        throw DecodeError(std::string("missing key ") + key);
    return it->template get<T>();
}
template <class T> std::optional<T> optRecord(const nlohmann::json& o, const char* key) {
    auto it = object(o).find(key);
    if (it == o.end() || it->is_null())
        return std::nullopt;
    return it->template get<T>();
}
template <class T> std::vector<T> list(const nlohmann::json& o, const char* key) {
    auto it = object(o).find(key);
    if (it == o.end() || !it->is_array())
        throw DecodeError(std::string("key ") + key + " is not an array");
    std::vector<T> out;
    out.reserve(it->size());
    for (const auto& e : *it)
        out.push_back(e.template get<T>());
    return out;
}
template <class T> std::optional<std::vector<T>> optList(const nlohmann::json& o, const char* key) {
    auto it = object(o).find(key);
    if (it == o.end() || it->is_null())
        return std::nullopt;
    return list<T>(o, key);
}

// Writes an optional member only when present.
template <class T> void put(nlohmann::json& j, const char* key, const std::optional<T>& value) {
    if (value)
        j[key] = *value;
}
} // namespace field

} // namespace Json
} // namespace tovu
