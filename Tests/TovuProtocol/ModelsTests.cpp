#include "TovuProtocol/Iso.hpp"
#include "TovuProtocol/Json.hpp"
#include "TovuProtocol/Models.hpp"
#include "support/Support.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <set>

namespace tovu {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::utcTime;

const json fullPolicy = json::parse(R"({
    "serverTime": "2025-03-01T18:30:00Z", "childName": "Bé Na", "mode": "hoc", "locked": true,
    "lockReason": "het_gio", "allowedApps": ["org.kde.kturtle"], "learningApps": ["a", "b"],
    "minutesLeft": 15, "grantEndsAt": "2025-03-01T19:00:00+07:00", "nextCheckSec": 60,
    "canExchangePoints": false})");

// Values of a JSON type other than the one a field holds.
std::vector<json> wrongTypesFor(const json& valid) {
    if (valid.is_string()) return {1, true, json::array(), json::object()};
    if (valid.is_boolean()) return {"true", 1, 0};
    if (valid.is_number_integer()) return {1.5, 2.0, true, "1", json::array()};
    return {"a", json::object(), json::array({1})}; // arrays of texts
}

// Decoding and encoding again gives the same object, less any key the record does not have. Any
// key of another type fails the decode; a missing or null key fails it unless optional.
template <class T>
void expectStrict(const json& valid, const std::set<std::string>& optional = {}) {
    const auto again = [](const json& j) {
        return json::parse(Json::encode(Json::decode<T>(j.dump())));
    };
    json extra = valid;
    extra["futureKey"] = {{"x", 1}};
    EXPECT_EQ(again(extra), valid);
    for (const auto& [key, value] : valid.items()) {
        json changed = valid;
        for (const json& wrong : wrongTypesFor(value)) {
            changed[key] = wrong;
            EXPECT_FALSE(Json::tryDecode<T>(changed.dump())) << key << " = " << wrong;
        }
        changed[key] = nullptr;
        EXPECT_EQ(Json::tryDecode<T>(changed.dump()).has_value(), optional.contains(key)) << key;
        changed.erase(key);
        if (optional.contains(key))
            EXPECT_EQ(again(changed), changed) << key;
        else
            EXPECT_FALSE(Json::tryDecode<T>(changed.dump())) << key;
    }
    for (const char* notObject : {"[]", "\"x\"", "null", "3", "{", ""})
        EXPECT_FALSE(Json::tryDecode<T>(notObject)) << notObject;
}

TEST(Models, EveryRecordDecodesStrictlyAndEncodesBack) {
    expectStrict<Policy>(fullPolicy, {"lockReason", "minutesLeft", "grantEndsAt"});
    expectStrict<UsageEntry>({{"day", "d"}, {"appId", "a"}, {"appName", "A"}, {"minutes", 3}});
    expectStrict<PairResult>(
        {{"deviceId", "d"}, {"token", "t"}, {"childName", "c"}, {"server", "s"}}, {"server"});
    expectStrict<RequestResult>(
        {{"id", "1"}, {"status", "cho"}, {"grantEndsAt", "x"}, {"message", "m"}},
        {"grantEndsAt", "message"});
    expectStrict<WakeUp>({{"changed", true}, {"revision", 7}});
    json answer = fullPolicy;
    answer.update({{"revision", 3}, {"dropped", {{{"index", 2}, {"reason", "r"}}}}});
    expectStrict<SyncAnswer>(answer,
                             {"lockReason", "minutesLeft", "grantEndsAt", "revision", "dropped"});
    expectStrict<RequestState>({{"status", "duoc"}, {"grantedMinutes", 30}, {"grantEndsAt", "x"}},
                               {"grantedMinutes", "grantEndsAt"});
    expectStrict<AgentConfig>(json::parse(
        R"({"server":"s","token":"t","deviceId":"d","childName":"c","childUser":"u"})"));
}

TEST(Json, IntegersCoverSigned64BitRangeOnly) {
    const auto integer = [](const char* text) {
        return Json::field::asInteger(Json::parse(text), "n");
    };
    EXPECT_EQ(integer("-9223372036854775808"), INT64_MIN);
    for (const char* tooBig :
         {"9223372036854775808", "18446744073709551615", "-9223372036854775809", "1e3", "1e400"})
        EXPECT_THROW(integer(tooBig), DecodeError) << tooBig;
}

// Sorted and compact: the socket's framing tests show it.
TEST(Json, ReplacesInvalidUtf8Bytes) {
    EXPECT_EQ(Json::encode(json("ab\xff!")), "\"ab\xEF\xBF\xBD!\"");
    // Such bytes never come back in: the parser refuses them.
    EXPECT_THROW(Json::parse("\"\xff\""), DecodeError);
}

TEST(Json, DatesAreSecondsSince2001) {
    EXPECT_EQ(Json::encodeDate(utcTime(2025, 3, 1, 0, 0)), 762480000.0);
    // A date goes through the JSON text and comes back to the microsecond.
    const Time t = utcTime(2025, 3, 1, 18, 30) + std::chrono::microseconds(123457);
    const auto back =
        Json::decodeDate(Json::parse(Json::encode(Json::encodeDate(t))).get<double>());
    EXPECT_LT(std::chrono::abs(back - t), std::chrono::microseconds(1));
    for (double bad : {std::nan(""), HUGE_VAL, 1e300, -1e12})
        EXPECT_THROW(Json::decodeDate(bad), DecodeError) << bad;
}

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
