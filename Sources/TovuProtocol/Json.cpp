#include "TovuProtocol/Json.hpp"

#include <chrono>
#include <cmath>
#include <limits>

namespace tovu::Json {

using nlohmann::json;

std::string encode(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

json parse(std::string_view text) {
    try {
        return json::parse(text);
    } catch (const json::exception& e) {
        // A number beyond double (1e400) is an out_of_range, not a parse_error.
        throw DecodeError(e.what());
    }
}

namespace {
constexpr Time reference{std::chrono::sys_days{std::chrono::year{2001} / 1 / 1}};
} // namespace

double encodeDate(Time t) {
    return std::chrono::duration<double>(t - reference).count();
}

Time decodeDate(double secondsSince2001) {
    using Seconds = std::chrono::duration<double>;
    // Bounds in double, a second inside the range of Time so that rounding cannot overflow.
    const double since1970 = Seconds(reference.time_since_epoch()).count();
    const double low = Seconds(Time::min().time_since_epoch()).count() - since1970 + 1;
    const double high = Seconds(Time::max().time_since_epoch()).count() - since1970 - 1;
    if (!std::isfinite(secondsSince2001) || secondsSince2001 < low || secondsSince2001 > high)
        throw DecodeError("date out of range");
    return reference + std::chrono::round<Time::duration>(Seconds(secondsSince2001));
}

namespace field {

namespace {
[[noreturn]] void wrongType(const char* what, const char* expected) {
    throw DecodeError(std::string(what) + " is not " + expected);
}
} // namespace

const json& object(const json& j) {
    if (!j.is_object()) throw DecodeError("value is not an object");
    return j;
}

const json* lookup(const json& o, const char* key) {
    const auto& obj = object(o);
    auto it = obj.find(key);
    return it == obj.end() || it->is_null() ? nullptr : &*it;
}

const json& need(const json& o, const char* key) {
    if (const auto* v = lookup(o, key)) return *v;
    throw DecodeError(std::string("missing key ") + key);
}

std::string asText(const json& v, const char* what) {
    if (!v.is_string()) wrongType(what, "a string");
    return v.get<std::string>();
}

std::int64_t asInteger(const json& v, const char* what) {
    // The parser stores every non-negative integer as unsigned.
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            wrongType(what, "a 64-bit integer");
        return static_cast<std::int64_t>(u);
    }
    if (!v.is_number_integer()) wrongType(what, "an integer");
    return v.get<std::int64_t>();
}

bool asFlag(const json& v, const char* what) {
    if (!v.is_boolean()) wrongType(what, "a boolean");
    return v.get<bool>();
}

double asNumber(const json& v, const char* what) {
    if (!v.is_number()) wrongType(what, "a number");
    return v.get<double>();
}

std::string text(const json& o, const char* key) {
    return record<std::string>(o, key);
}
std::optional<std::string> optText(const json& o, const char* key) {
    return optRecord<std::string>(o, key);
}
std::int64_t integer(const json& o, const char* key) {
    return record<std::int64_t>(o, key);
}
std::optional<std::int64_t> optInteger(const json& o, const char* key) {
    return optRecord<std::int64_t>(o, key);
}
bool flag(const json& o, const char* key) {
    return record<bool>(o, key);
}
std::optional<bool> optFlag(const json& o, const char* key) {
    return optRecord<bool>(o, key);
}
std::vector<std::string> textList(const json& o, const char* key) {
    return list<std::string>(o, key);
}
std::optional<std::vector<std::map<std::string, std::string>>> optTextMaps(const json& o,
                                                                           const char* key) {
    return optList<std::map<std::string, std::string>>(o, key);
}
std::optional<double> optNumber(const json& o, const char* key) {
    return optRecord<double>(o, key);
}

} // namespace field
} // namespace tovu::Json
