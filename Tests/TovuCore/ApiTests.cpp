#include "TovuCore/Api.hpp"
#include "TovuCore/Paths.hpp"
#include "support/FakeServer.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace tovu;
using namespace tovu::test;
using nlohmann::json;

namespace {

const json policyJson = {{"serverTime", "2025-03-01T18:30:00Z"},
                         {"childName", "Bin"},
                         {"mode", "tu_do"},
                         {"locked", false},
                         {"allowedApps", json::array()},
                         {"learningApps", json::array()},
                         {"nextCheckSec", 60},
                         {"canExchangePoints", true}};
const std::string statePath = "/api/device/requests/r1";

template <class E, class F> std::optional<E> errorOf(F&& call) {
    try {
        call();
    } catch (const E& e) {
        return e;
    }
    return std::nullopt;
}

} // namespace

TEST(ApiClientTest, NormalizeTrimsAddsSchemeAndDropsTrailingSlashes) {
    EXPECT_EQ(ApiClient::normalize("  tovu.example.vn/ \n"), "https://tovu.example.vn");
    EXPECT_EQ(ApiClient::normalize("\u00A0tovu.vn\r\n\t"), "https://tovu.vn");
    EXPECT_EQ(ApiClient::normalize("http://127.0.0.1:8080"), "http://127.0.0.1:8080");
    EXPECT_EQ(ApiClient::normalize("https://tovu.vn/base///"), "https://tovu.vn/base");
    EXPECT_EQ(ApiClient(" tovu.vn/ ", std::nullopt).server(), "https://tovu.vn");
}

TEST(ApiClientTest, SyncPostsItsBodyUnderTheBaseAddressPath) {
    FakeServer server;
    server.reply("POST", "/base/api/device/sync", 200, policyJson.dump());
    ApiClient client(server.url() + "/base/", "tok");
    UsageEntry entry{"2025-03-01", "org.gnome.Calculator", "Máy tính", 12};

    EXPECT_EQ(client.sync({{"online", true}}, {entry}, {{{"id", "a"}}}), policyJson.get<Policy>());
    auto sent = server.requests().at(0);
    EXPECT_EQ(sent.path, "/base/api/device/sync");
    EXPECT_EQ(sent.json(), (json{{"status", {{"online", true}}},
                                 {"usage",
                                  {{{"day", "2025-03-01"},
                                    {"appId", "org.gnome.Calculator"},
                                    {"appName", "Máy tính"},
                                    {"minutes", 12}}}},
                                 {"apps", {{{"id", "a"}}}},
                                 {"agentVersion", "mac-0.1.0"},
                                 {"osVersion", Version::os()}}));
}

TEST(ApiClientTest, SendsExactlyTheJsonAndBearerHeaders) {
    FakeServer server;
    server.reply("GET", statePath, 200, R"({"status":"cho"})");
    server.reply("POST", "/api/pair", 200, R"({"deviceId":"d","token":"t","childName":"Bin"})");

    ApiClient(server.url(), "tok").requestState("r1");
    ApiClient(server.url(), std::nullopt).pair("123456", "Máy của Bin", "Linux 6.1");
    auto sent = server.requests();
    ASSERT_EQ(sent.size(), 2u);
    for (const auto& request : sent) {
        EXPECT_EQ(request.headers.count("content-type"), 1u) << request.method;
        EXPECT_EQ(request.header("content-type"), "application/json") << request.method;
    }
    EXPECT_EQ(sent[0].method, "GET");
    EXPECT_EQ(sent[0].body, "");
    EXPECT_EQ(sent[0].header("authorization"), "Bearer tok");
    EXPECT_EQ(sent[1].header("authorization"), std::nullopt);
    EXPECT_EQ(sent[1].json(), (json{{"code", "123456"},
                                    {"platform", "mac"},
                                    {"deviceName", "Máy của Bin"},
                                    {"osVersion", "Linux 6.1"},
                                    {"agentVersion", "mac-0.1.0"}}));
}

TEST(ApiClientTest, RequestSendsAppAndNoteOnlyForMoreTime) {
    FakeServer server;
    server.reply("POST", "/api/device/requests", 200, R"({"id":"r1","status":"cho"})");
    ApiClient client(server.url(), "tok");

    EXPECT_EQ(client.request("doi_diem", 30, "app", "App", "xin ạ"),
              (RequestResult{"r1", "cho", std::nullopt}));
    client.request("them_gio", 15, "org.x", "X", "");
    client.request("them_gio", 10, std::nullopt, std::nullopt, "con cần làm bài");
    auto sent = server.requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].json(), (json{{"kind", "doi_diem"}, {"minutes", 30}}));
    EXPECT_EQ(sent[1].json(),
              (json{{"kind", "them_gio"}, {"minutes", 15}, {"appId", "org.x"}, {"appName", "X"}}));
    EXPECT_EQ(sent[2].json(),
              (json{{"kind", "them_gio"}, {"minutes", 10}, {"note", "con cần làm bài"}}));
}

TEST(ApiClientTest, RequestStateIdCannotLeaveItsPathSegment) {
    FakeServer server;
    server.handle("GET", "/", [](const Recorded&) { return Reply{200, R"({"status":"cho"})"}; });
    ApiClient client(server.url(), "tok");

    client.requestState("a b");
    client.requestState("../../pair?x=1#f");
    client.requestState("..");
    client.requestState("r:1@x");
    auto sent = server.requests();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].path, "/api/device/requests/a%20b");
    EXPECT_EQ(sent[1].path, "/api/device/requests/..%2F..%2Fpair%3Fx=1%23f");
    EXPECT_EQ(sent[2].path, "/api/device/requests/%2E%2E");
    EXPECT_EQ(sent[3].path, "/api/device/requests/r:1@x");
}

TEST(ApiClientTest, StatusesOutside2xxBecomeApiErrors) {
    struct Case {
        int status;
        std::string body;
        std::string message;
        bool unauthorized;
    };
    const std::string fallback = "Máy chủ trả lỗi";
    const Case cases[] = {
        {404, R"({"message":"Không tìm thấy"})", "Không tìm thấy", false},
        {500, "<html><body>Oops</body></html>", fallback, false},
        {401, "", fallback, true},
        {403, R"({"message":"Thiết bị đã bị gỡ"})", "Thiết bị đã bị gỡ", true},
        {402, R"({"message":5})", fallback, false},
        {400, R"(["message"])", fallback, false},
        {302, R"({"message":"moved"})", "moved", false},
    };
    FakeServer server;
    ApiClient client(server.url(), "tok");
    for (const auto& c : cases) {
        server.reply("GET", statePath, c.status, c.body);
        auto error = errorOf<ApiError>([&] { client.requestState("r1"); });
        ASSERT_TRUE(error) << c.status;
        EXPECT_EQ(error->status(), c.status);
        EXPECT_EQ(error->message(), c.message) << c.status;
        EXPECT_EQ(error->unauthorized(), c.unauthorized) << c.status;
        EXPECT_EQ(error->description(), std::to_string(c.status) + ": " + c.message);
    }
}

TEST(ApiClientTest, SuccessfulBodyThatIsNotTheRecordFailsToDecode) {
    FakeServer server;
    server.reply("GET", statePath, 200, R"({"grantedMinutes":5})");
    EXPECT_THROW(ApiClient(server.url(), "tok").requestState("r1"), DecodeError);
    server.reply("GET", statePath, 204, "");
    EXPECT_THROW(ApiClient(server.url(), "tok").requestState("r1"), DecodeError);
}

TEST(ApiClientTest, BadAddressFailsBeforeSending) {
    for (const char* address : {"http://exa mple", "file:///etc/passwd", "gopher://tovu.vn"}) {
        auto error = errorOf<ApiError>([&] { ApiClient(address, "tok").requestState("r1"); });
        ASSERT_TRUE(error) << address;
        EXPECT_EQ(error->status(), std::nullopt) << address;
        EXPECT_EQ(error->description(), "Địa chỉ máy chủ sai") << address;
        EXPECT_FALSE(error->unauthorized());
    }
}

TEST(ApiClientTest, RefusedConnectionIsATransportError) {
    // A bound socket that never listens: connecting to it is refused.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), size), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size), 0);
    std::string port = std::to_string(ntohs(addr.sin_port));

    auto error = errorOf<TransportError>(
        [&] { ApiClient("http://127.0.0.1:" + port, "tok").requestState("r1"); });
    close(fd);
    ASSERT_TRUE(error);
    EXPECT_THAT(error->what(), testing::HasSubstr(port)); // curl's own detailed text
}

TEST(ApiClientTest, ServerThatNeverAnswersTimesOut) {
    FakeServer server;
    server.hang("POST", "/api/device/requests");
    auto error = errorOf<TransportError>(
        [&] { ApiClient(server.url(), "tok").request("doi_diem", 5, {}, {}, {}); });
    ASSERT_TRUE(error);
    EXPECT_THAT(error->what(), testing::HasSubstr("timed out"));
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(ApiClientTest, CallsFromManyThreadsGetTheirOwnAnswers) {
    FakeServer server;
    // Echo the id back so that a mixed-up answer shows.
    server.handle("GET", "/api/device/requests/", [](const Recorded& r) {
        return Reply{200, json{{"status", "cho"}, {"grantEndsAt", r.path}}.dump()};
    });
    ApiClient client(server.url(), "tok");
    std::vector<std::thread> threads;
    std::atomic<int> wrong = 0;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                std::string id = std::to_string(t) + "-" + std::to_string(i);
                if (client.requestState(id).grantEndsAt != "/api/device/requests/" + id) ++wrong;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(server.requests().size(), 160u);
}

TEST(ApiClientTest, CallsOfOneThreadReuseTheConnection) {
    FakeServer server;
    server.reply("GET", statePath, 200, R"({"status":"cho"})");
    ApiClient client(server.url(), "tok");
    client.requestState("r1");
    client.requestState("r1");
    auto sent = server.requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].remotePort, sent[1].remotePort);
}
