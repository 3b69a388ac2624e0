#include "TovuCore/Api.hpp"
#include "TovuCore/Paths.hpp"
#include "support/FakeServer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tovu {
namespace {

using namespace test;
using nlohmann::json;
using namespace testing;

const std::string statePath = "/api/device/requests/r1";

class ApiTest : public testing::Test {
protected:
    FakeServer server;
    ApiClient client{server.url(), "tok"};
};

TEST(ApiClient, NormalizeTrimsAddsSchemeAndDropsTrailingSlashes) {
    EXPECT_EQ(ApiClient::normalize("\u00A0tovu.vn/base/// \r\n"), "https://tovu.vn/base");
}

TEST_F(ApiTest, EachCallPostsItsBodyUnderTheBaseAddressPathOnOneConnection) {
    const SyncAnswer synced{
        {"t", "Bin", "tu_do", false, {}, {"a"}, {}, {}, {}, 60, true}, 4, {{1, "quá dài"}}};
    server.reply("POST", "/base/api/device/sync", 200, Json::encode(synced));
    server.reply("POST", "/base/api/pair", 200, R"({"deviceId":"d","token":"t","childName":"B"})");
    server.reply("POST", "/base/api/device/requests", 200, R"({"id":"r1","status":"cho"})");
    const ApiClient base(server.url() + "/base/", "tok");
    EXPECT_EQ(base.syncAnswer({{"online", true}}, {{"d", "a", "A", 12}}, {{{"id", "a"}}}, 3),
              synced);
    EXPECT_EQ(
        ApiClient(server.url() + "/base", std::nullopt).pair("123456", "Máy Bin", "Linux 6.1"),
        (PairResult{"d", "t", "B", {}}));
    EXPECT_EQ(base.request("doi_diem", 30, "app", "App", "xin ạ"),
              (RequestResult{"r1", "cho", {}}));
    const std::string bodies[] = {
        R"({"status":{"online":true},"apps":[{"id":"a"}],"agentVersion":"linux-0.1.0",)"
        R"("usage":[{"day":"d","appId":"a","appName":"A","minutes":12}],"revision":3,"osVersion":")" +
            Version::os() + "\"}",
        R"({"code":"123456","platform":"linux","deviceName":"Máy Bin","osVersion":"Linux 6.1",)"
        R"("agentVersion":"linux-0.1.0"})",
        R"({"kind":"doi_diem","minutes":30})"};
    const auto sent = server.requests();
    ASSERT_EQ(sent.size(), std::size(bodies));
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].json(), json::parse(bodies[i]));
        EXPECT_EQ(sent[i].header("content-type"), "application/json");
        // Pairing goes without a token.
        EXPECT_EQ(sent[i].header("authorization"),
                  i == 1 ? std::nullopt : std::optional<std::string>("Bearer tok"));
    }
    EXPECT_EQ(sent[0].remotePort, sent[2].remotePort);
}

TEST_F(ApiTest, RequestStateIdCannotLeaveItsPathSegment) {
    server.handle("GET", "/", [](const Recorded&) { return Reply{200, R"({"status":"cho"})"}; });
    const std::pair<const char*, const char*> ids[] = {
        {"a b", "a%20b"}, {"../../pair?x=1#f", "..%2F..%2Fpair%3Fx=1%23f"}, {"..", "%2E%2E"}};
    for (const auto& [id, segment] : ids) {
        EXPECT_EQ(client.requestState(id), (RequestState{"cho", {}, {}}));
        EXPECT_EQ(server.requests().back().path, std::string("/api/device/requests/") + segment);
    }
    // No body, but the JSON content type all the same.
    EXPECT_EQ(server.requests().back().body, "");
    EXPECT_EQ(server.requests().back().header("content-type"), "application/json");
}

TEST_F(ApiTest, StatusesOutside2xxBecomeApiErrors) {
    const std::string fallback = "Máy chủ trả lỗi";
    const std::tuple<int, std::string, std::string, bool> cases[] = {
        {500, "<html><body>Oops</body></html>", fallback, false},
        {401, "", fallback, true},
        {403, R"({"message":"Thiết bị đã bị gỡ"})", "Thiết bị đã bị gỡ", true},
        {402, R"({"message":5})", fallback, false},
    };
    for (const auto& [status, body, message, unauthorized] : cases) {
        SCOPED_TRACE(status);
        server.reply("GET", statePath, status, body);
        EXPECT_THAT([&] { client.requestState("r1"); },
                    Throws<ApiError>(AllOf(Property(&ApiError::message, message),
                                           Property(&ApiError::unauthorized, unauthorized),
                                           Property(&ApiError::description,
                                                    std::to_string(status) + ": " + message))));
    }
}

TEST_F(ApiTest, RedirectsKeepMethodAndBodyAndTheTokenStaysWithItsHost) {
    const std::string moved = "/new/api/device/requests";
    const std::string otherHost = "http://localhost:" + std::to_string(server.port()) + moved;
    server.reply("POST", moved, 200, R"({"id":"r1","status":"cho"})");
    for (const auto& [status, location, token] :
         {std::tuple{307, moved, true}, {308, otherHost, false}, {301, moved, true}}) {
        server.handle("POST", "/api/device/requests", [=](const Recorded&) {
            return Reply{status, "", location};
        });
        EXPECT_EQ(client.request("doi_diem", 5, {}, {}, {}).id, "r1") << status;
        const auto sent = server.requests();
        EXPECT_EQ(sent.back().path, moved);
        EXPECT_EQ(sent.back().body, sent[sent.size() - 2].body);
        EXPECT_EQ(sent.back().header("authorization"),
                  token ? std::optional<std::string>("Bearer tok") : std::nullopt)
            << location;
    }
    // Five hops at most, and only to http or https.
    server.handle("GET", "/api/device/requests/", [](const Recorded& r) {
        const std::string hops = r.path.substr(r.path.rfind('/') + 1);
        if (hops == "file") return Reply{302, "", "file:///etc/passwd"};
        if (hops == "0") return Reply{200, R"({"status":"cho"})"};
        return Reply{302, "", "/api/device/requests/" + std::to_string(std::stoi(hops) - 1)};
    });
    EXPECT_EQ(client.requestState("5").status, "cho");
    for (const char* id : {"6", "file"})
        EXPECT_THROW(client.requestState(id), TransportError) << id;
}

TEST(ApiClient, TokenFollowsARedirectOnTheSameServerOnly) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"http://tovu.vn/a", "https://tovu.vn/b", true},
        {"https://tovu.vn/a", "http://tovu.vn/a", false},
        {"https://tovu.vn/a", "https://tovu.vn.example/a", false}};
    for (const auto& [from, to, same] : cases)
        EXPECT_EQ(ApiClient::sameServer(from, to), same) << from << " to " << to;
}

// Only http and https: a configured address must never make the daemon read local files.
TEST(ApiClient, BadAddressFailsBeforeSending) {
    for (const char* address : {"http://exa mple", "file:///etc/passwd", "gopher://tovu.vn"})
        EXPECT_THAT([&] { ApiClient(address, "tok").requestState("r1"); },
                    ThrowsMessage<ApiError>("Địa chỉ máy chủ sai"))
            << address;
}

TEST_F(ApiTest, ServerThatNeverAnswersTimesOut) {
    server.hang("POST", "/api/device/requests");
    EXPECT_THAT([&] { client.request("doi_diem", 5, {}, {}, {}); },
                ThrowsMessage<TransportError>(HasSubstr("timed out")));
    EXPECT_EQ(server.requests().size(), 1u);
}

} // namespace
} // namespace tovu
