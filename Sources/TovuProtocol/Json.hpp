#pragma once

#include "TovuProtocol/Clock.hpp"

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tovu {

// A JSON text that is malformed or does not have the shape of the record asked for.
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace Json {

// Compact text with sorted keys (nlohmann::json keeps keys in a std::map); UTF-8 is written as
// is. Never throws: text that is not valid UTF-8 is written with U+FFFD in place of the
// invalid bytes.
std::string encode(const nlohmann::json& value);

template <class T> std::string encode(const T& value) {
    return encode(nlohmann::json(value));
}

// Parses a JSON text; throws DecodeError when it is not JSON. Trailing whitespace (the line
// feed of a socket message) is accepted.
nlohmann::json parse(std::string_view text);

// Dates are written as seconds (with fraction) since 2001-01-01T00:00:00Z.
double encodeDate(Time t);
// Throws DecodeError when the number is not finite or lies outside the range of Time.
Time decodeDate(double secondsSince2001);

// Strict readers for the fields of an object; each throws DecodeError naming the key when the
// value is not a JSON object, or the key is missing (required only), null (required only) or
// of the wrong JSON type. Nothing else escapes them: nlohmann's own errors become DecodeError.
namespace field {
const nlohmann::json& object(const nlohmann::json& j);
// The value under key; absent when the key is missing or null.
const nlohmann::json* lookup(const nlohmann::json& o, const char* key);
// The value under key; throws when the key is missing or null.
const nlohmann::json& need(const nlohmann::json& o, const char* key);

std::string asText(const nlohmann::json& v, const char* what);
// Integers of signed 64-bit range only; floats and booleans are refused.
std::int64_t asInteger(const nlohmann::json& v, const char* what);
bool asFlag(const nlohmann::json& v, const char* what);
double asNumber(const nlohmann::json& v, const char* what);

template <class T> struct IsVector : std::false_type {};
template <class E> struct IsVector<std::vector<E>> : std::true_type {};
template <class T> struct IsTextMap : std::false_type {};
template <class E> struct IsTextMap<std::map<std::string, E>> : std::true_type {};

// One value of type T: scalars must have exactly the matching JSON type, lists and maps are
// checked element by element, records go through their from_json.
template <class T> T as(const nlohmann::json& v, const char* what) {
    if constexpr (std::is_same_v<T, std::string>) {
        return asText(v, what);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return asInteger(v, what);
    } else if constexpr (std::is_same_v<T, bool>) {
        return asFlag(v, what);
    } else if constexpr (std::is_same_v<T, double>) {
        return asNumber(v, what);
    } else if constexpr (IsVector<T>::value) {
        if (!v.is_array()) throw DecodeError(std::string(what) + " is not an array");
        T out;
        out.reserve(v.size());
        for (const auto& e : v)
            out.push_back(as<typename T::value_type>(e, what));
        return out;
    } else if constexpr (IsTextMap<T>::value) {
        if (!v.is_object()) throw DecodeError(std::string(what) + " is not an object");
        T out;
        for (const auto& [k, e] : v.items())
            out.emplace(k, as<typename T::mapped_type>(e, what));
        return out;
    } else {
        try {
            return v.template get<T>();
        } catch (const nlohmann::json::exception& e) {
            throw DecodeError(std::string(what) + ": " + e.what());
        }
    }
}

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

// A value of any type that as<T> reads: a record, a list, a text map or a scalar.
template <class T> T record(const nlohmann::json& o, const char* key) {
    return as<T>(need(o, key), key);
}
template <class T> std::optional<T> optRecord(const nlohmann::json& o, const char* key) {
    if (const auto* v = lookup(o, key)) return as<T>(*v, key);
    return std::nullopt;
}
template <class T> std::vector<T> list(const nlohmann::json& o, const char* key) {
    return record<std::vector<T>>(o, key);
}
template <class T> std::optional<std::vector<T>> optList(const nlohmann::json& o, const char* key) {
    return optRecord<std::vector<T>>(o, key);
}

// Writes an optional member only when present.
template <class T> void put(nlohmann::json& j, const char* key, const std::optional<T>& value) {
    if (value) j[key] = *value;
}
} // namespace field

// Parses and decodes a record; throws DecodeError on any failure.
template <class T> T decode(std::string_view text) {
    return field::as<T>(parse(text), "value");
}

template <class T> std::optional<T> tryDecode(std::string_view text) noexcept {
    try {
        return decode<T>(text);
    } catch (const DecodeError&) {
        return std::nullopt;
    }
}

} // namespace Json
} // namespace tovu
