#include "TovuCore/Json.hpp"
#include "TovuCore/Models.hpp"
#include "support/Support.hpp"

#include <cmath>
#include <gtest/gtest.h>

namespace tovu {
namespace {

using nlohmann::json;

const json fullPolicy = json::parse(R"({
    "serverTime": "2025-03-01T18:30:00Z", "childName": "Bé Na", "mode": "hoc", "locked": true,
    "lockReason": "het_gio", "allowedApps": ["org.kde.kturtle"], "learningApps": ["a", "b"],
    "minutesLeft": 15, "grantEndsAt": "2025-03-01T19:00:00+07:00", "nextCheckSec": 60,
    "canExchangePoints": false, "futureKey": {"x": 1}})");

// Values of a JSON type other than the one a field holds.
std::vector<json> wrongTypesFor(const json& valid) {
    if (valid.is_string()) return {1, true, json::array(), json::object()};
    if (valid.is_boolean()) return {"true", 1, 0};
    if (valid.is_number_integer()) return {1.5, 2.0, true, "1", json::array()};
    return {"a", json::object(), json::array({1})}; // arrays of texts
}

// Every required key must make the decode fail when missing, null or of another type;
// optional keys only when of another type.
template <class T>
void expectStrict(const json& valid, const std::vector<std::string>& required,
                  const std::vector<std::string>& optional = {}) {
    ASSERT_NO_THROW(Json::decode<T>(valid.dump()));
    for (const auto& key : required) {
        json missing = valid;
        missing.erase(key);
        EXPECT_THROW(Json::decode<T>(missing.dump()), DecodeError) << "without " << key;
        json null = valid;
        null[key] = nullptr;
        EXPECT_THROW(Json::decode<T>(null.dump()), DecodeError) << key << " null";
    }
    std::vector<std::string> all = required;
    all.insert(all.end(), optional.begin(), optional.end());
    for (const auto& key : all)
        for (const auto& wrong : wrongTypesFor(valid.at(key))) {
            json changed = valid;
            changed[key] = wrong;
            EXPECT_THROW(Json::decode<T>(changed.dump()), DecodeError) << key << " = " << wrong;
        }
    for (const char* notObject : {"[]", "\"x\"", "null", "3", "{", ""})
        EXPECT_THROW(Json::decode<T>(notObject), DecodeError) << notObject;
}

TEST(Models, EveryRecordDecodesStrictly) {
    expectStrict<Policy>(fullPolicy,
                         {"serverTime", "childName", "mode", "locked", "allowedApps",
                          "learningApps", "nextCheckSec", "canExchangePoints"},
                         {"lockReason", "minutesLeft", "grantEndsAt"});
    expectStrict<UsageEntry>(
        {{"day", "2025-03-01"}, {"appId", "a"}, {"appName", "A"}, {"minutes", 3}},
        {"day", "appId", "appName", "minutes"});
    expectStrict<PairResult>(
        {{"deviceId", "d"}, {"token", "t"}, {"childName", "c"}, {"server", "https://s"}},
        {"deviceId", "token", "childName"}, {"server"});
    expectStrict<RequestResult>({{"id", "1"}, {"status", "cho"}, {"grantEndsAt", "x"}},
                                {"id", "status"}, {"grantEndsAt"});
    expectStrict<RequestState>({{"status", "duoc"}, {"grantedMinutes", 30}, {"grantEndsAt", "x"}},
                               {"status"}, {"grantedMinutes", "grantEndsAt"});
    expectStrict<AgentConfig>(
        json::parse(R"({"server":"s","token":"t","deviceId":"d","childName":"c","childUser":"u"})"),
        {"server", "token", "deviceId", "childName", "childUser"});
}

TEST(Models, IntegersCoverSigned64BitRangeOnly) {
    auto minutes = [](const std::string& number) {
        return Json::decode<UsageEntry>(R"({"day":"d","appId":"a","appName":"n","minutes":)" +
                                        number + "}")
            .minutes;
    };
    EXPECT_EQ(minutes("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(minutes("-9223372036854775808"), INT64_MIN);
    for (const char* tooBig : {"9223372036854775808", "18446744073709551615",
                               "-9223372036854775809", "1e3", "99999999999999999999"})
        EXPECT_THROW(minutes(tooBig), DecodeError) << tooBig;
    const UsageEntry big{"d", "a", "n", INT64_MIN};
    EXPECT_EQ(Json::decode<UsageEntry>(Json::encode(big)), big);
}

TEST(Models, PolicyRoundTripsAndOmitsAbsentOptionals) {
    const auto policy = Json::decode<Policy>(fullPolicy.dump());
    EXPECT_EQ(policy.childName, "Bé Na");
    EXPECT_EQ(policy.learningApps, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(policy.minutesLeft, 15);
    EXPECT_EQ(Json::decode<Policy>(Json::encode(policy)), policy);

    json bare = fullPolicy;
    bare.erase("lockReason");
    bare.erase("grantEndsAt");
    bare["minutesLeft"] = nullptr;
    const auto decoded = Json::decode<Policy>(bare.dump());
    EXPECT_FALSE(decoded.lockReason || decoded.minutesLeft || decoded.grantEndsAt);
    const auto text = Json::encode(decoded);
    for (const char* key : {"lockReason", "minutesLeft", "grantEndsAt", "null", "futureKey"})
        EXPECT_EQ(text.find(key), std::string::npos) << key;
}

TEST(Models, ListElementsMustHaveTheRightType) {
    json policy = fullPolicy;
    policy["allowedApps"] = json::array({"a", 1});
    EXPECT_THROW(Json::decode<Policy>(policy.dump()), DecodeError);
    EXPECT_THROW(Json::decode<std::vector<UsageEntry>>(R"([{"day":"d"}])"), DecodeError);

    const json o = {{"apps", json::array({{{"id", "x"}, {"n", 1}}})}};
    EXPECT_THROW(Json::field::optTextMaps(o, "apps"), DecodeError);
    EXPECT_EQ(Json::field::optTextMaps({{"apps", json::array({{{"id", "x"}}})}}, "apps"),
              (std::vector<std::map<std::string, std::string>>{{{"id", "x"}}}));
}

TEST(Json, EncodesSortedCompactUnescapedUtf8) {
    EXPECT_EQ(Json::encode(UsageEntry{"2025-03-01", "org.x", "Trò chơi", 42}),
              R"({"appId":"org.x","appName":"Trò chơi","day":"2025-03-01","minutes":42})");
    EXPECT_EQ(
        Json::encode(AgentConfig{"https://s", "t", "d", "Bé Na", "na"}),
        R"({"childName":"Bé Na","childUser":"na","deviceId":"d","server":"https://s","token":"t"})");
    EXPECT_EQ(Json::encode(RequestState{"cho", std::nullopt, std::nullopt}), R"({"status":"cho"})");
}

TEST(Json, InvalidUtf8IsReplacedNotThrown) {
    const std::string text = Json::encode(json("ab\xff\xfe"
                                               "c"));
    EXPECT_EQ(text, "\"ab\xEF\xBF\xBD\xEF\xBF\xBD"
                    "c\"");
    // Such bytes never come back in: the parser refuses them.
    EXPECT_THROW(Json::parse("\"\xff\""), DecodeError);
    EXPECT_NO_THROW(Json::parse("{}\n"));
}

TEST(Json, DatesAreSecondsSince2001) {
    EXPECT_EQ(Json::encodeDate(test::utcTime(2001, 1, 1, 0, 0)), 0.0);
    EXPECT_EQ(Json::encodeDate(test::utcTime(2025, 3, 1, 0, 0)), 762480000.0);
    EXPECT_EQ(Json::decodeDate(-86400.0), test::utcTime(2000, 12, 31, 0, 0));
    // A date goes through the JSON text and comes back to the microsecond.
    const Time t = test::utcTime(2025, 3, 1, 18, 30) + std::chrono::microseconds(123457);
    const auto back =
        Json::decodeDate(Json::parse(Json::encode(Json::encodeDate(t))).get<double>());
    EXPECT_LT(std::chrono::abs(back - t), std::chrono::microseconds(1));
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300, -1e12})
        EXPECT_THROW(Json::decodeDate(bad), DecodeError) << bad;
}

TEST(Models, LockTitleAndGrantEnd) {
    Policy p;
    EXPECT_EQ(p.lockTitle(), "Bố mẹ đang khoá máy");
    const std::pair<const char*, const char*> titles[] = {
        {"ngu", "Đến giờ ngủ rồi"},      {"ngoai_gio", "Ngoài giờ dùng máy"},
        {"het_gio", "Hết giờ hôm nay"},  {"NGU", "Bố mẹ đang khoá máy"},
        {"ngu ", "Bố mẹ đang khoá máy"}, {"", "Bố mẹ đang khoá máy"}};
    for (const auto& [reason, title] : titles) {
        p.lockReason = reason;
        EXPECT_EQ(p.lockTitle(), title) << reason;
    }

    EXPECT_EQ(p.grantEnd(), std::nullopt);
    p.grantEndsAt = "2025-03-01T19:00:00+07:00";
    EXPECT_EQ(p.grantEnd(), test::utcTime(2025, 3, 1, 12, 0));
    p.grantEndsAt = "tomorrow";
    EXPECT_EQ(p.grantEnd(), std::nullopt);
}

} // namespace
} // namespace tovu
