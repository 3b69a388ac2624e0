// The built tovucontrol-server on each store, driven through its console API, the real setup
// tool and the real daemon, and attacked through both APIs.
#include "Database.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuCore/Json.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "TovuCore/platform/Platform.hpp"
#include "support/ParentsServer.hpp"
#include "support/Support.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tovu;
using namespace tovu::test;
using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string setupToken = "setup-token-for-tests";
const std::string sneaky = "Bé Na'); DROP TABLE children; -- \" \\ %_";

// The built server on a free port, with the store of the test's parameter.
class ServerApi : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        std::vector<std::string> command{TOVUCONTROL_SERVER, "--setup-token", setupToken};
        if (GetParam()) {
            if (!PgCluster::available()) GTEST_SKIP() << "needs PostgreSQL 15";
            pg.emplace();
            command.insert(command.end(), {"--database", pg->url()});
        } else {
            command.insert(command.end(), {"--data", data.file("data")});
        }
        server.emplace(command);
        port = server->port();
        url = server->url();
    }

    // The store the server uses, opened beside it.
    std::unique_ptr<server::Database> database() const {
        return GetParam() ? server::openPostgres(pg->url()) : server::openSqlite(data.file("data"));
    }

    // A family with one child; returns the child's id.
    std::string family(ConsoleClient& c, const std::string& parent = "Mẹ") {
        const auto s = c.post("setup", {{"setupToken", setupToken},
                                        {"familyName", "Nhà " + sneaky},
                                        {"parentName", parent},
                                        {"password", "mật khẩu dài"},
                                        {"timeZone", "UTC"}});
        EXPECT_EQ(s.status, 200) << s.body;
        return c.post("children", {{"name", sneaky}}).body.value("id", "");
    }

    Answer pair(const std::string& code, const std::string& platform = "linux") {
        httplib::Client http("127.0.0.1", port);
        const json body{{"code", code},
                        {"platform", platform},
                        {"deviceName", "Máy " + sneaky},
                        {"osVersion", "Linux 6.1"},
                        {"agentVersion", "mac-0.1.0"}};
        const auto r = http.Post("/api/pair", body.dump(), "application/json");
        return {r->status, json::parse(r->body, nullptr, false)};
    }

    Answer device(const std::string& token, const std::string& path, const json& body = nullptr) {
        httplib::Client http("127.0.0.1", port);
        const httplib::Headers auth{{"Authorization", "Bearer " + token}};
        const auto r = body.is_null()
                           ? http.Get(path.c_str(), auth)
                           : http.Post(path.c_str(), auth, body.dump(), "application/json");
        return {r->status, json::parse(r->body, nullptr, false)};
    }

    TempDir data;
    std::optional<PgCluster> pg;
    std::optional<ParentsServer> server;
    int port = 0;
    std::string url;
};

IpcResponse ask(const std::string& sock, IpcRequest r) {
    return Ipc::call(r, sock);
}

IpcRequest op(std::string name) {
    IpcRequest r;
    r.op = std::move(name);
    return r;
}

} // namespace

TEST_P(ServerApi, DaemonAndSetupToolFollowWhatTheParentsDo) {
    if (geteuid() != 0) GTEST_SKIP() << "the setup tool checks a real account";
    // The family's day and the daemon's day are the same day.
    ScopedEnv utc("TZ", "UTC");
    ConsoleClient console(port);
    const auto child = family(console);
    json rules = console.get("family").body["children"][0]["rules"];
    rules["dailyMinutes"] = json::array({5, 5, 5, 5, 5, 5, 5});
    ASSERT_EQ(console.call("PUT", "/api/console/children/" + child + "/rules", rules).status, 200);
    const auto code = console.post("children/" + child + "/pairing-code").body.value("code", "");

    // The setup tool pairs from a kit of its own; the agent is not needed here.
    TempDir kit, support;
    fs::copy_file(TOVU_SETUP_BINARY, kit.path() / "tovucontrol-setup");
    fs::copy_file(TOVUCONTROLD_PATH, kit.path() / "tovucontrold");
    fs::create_directories(kit.path() / "TovuControl.app/Contents/MacOS");
    std::ofstream(kit.path() / "TovuControl.app/Contents/MacOS/TovuControlHelper") << "agent";
    ASSERT_EQ(
        std::system(("TOVUC_DIR=" + support.path().string() + " " + kit.file("tovucontrol-setup") +
                     " --user nobody --server " + url + " --code " + code + " >/dev/null")
                        .c_str()),
        0);
    const auto config = FileIO::read<AgentConfig>(support.file("config.json"));
    ASSERT_TRUE(config);
    EXPECT_EQ(config->childName, sneaky);

    const auto sock = support.file("d.sock");
    DaemonProcess daemon(
        TOVUCONTROLD_PATH,
        {{"TOVUC_DIR", support.path().string()}, {"TOVUC_SOCK", sock}, {"TOVUC_DEV", "1"}});
    ASSERT_TRUE(waitUntil([&] {
        const auto p = ask(sock, op("policy")).policy;
        return p && p->minutesLeft == 5 && !p->locked;
    })) << daemon.log();

    // Ten minutes of a game: the daemon locks, tells the server, and the parents see it.
    auto usage = op("usage");
    const auto today = UsageTracker::ngay(std::chrono::system_clock::now());
    usage.entries = {{today, "org.example.game", "Trò " + sneaky, 10}};
    ASSERT_TRUE(ask(sock, usage).ok);
    json seen;
    ASSERT_TRUE(waitUntil([&] {
        seen = console.get("children/" + child + "/today").body;
        return seen["usedMinutes"] == 10;
    })) << seen;
    EXPECT_EQ(seen["locked"], true);
    EXPECT_EQ(seen["lockReason"], "het_gio");
    EXPECT_EQ(seen["apps"][0]["appName"], "Trò " + sneaky);
    const auto devices = console.get("family").body["devices"];
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]["online"], true);
    EXPECT_EQ(devices[0]["childUser"], "nobody");
    EXPECT_EQ(devices[0]["name"], platform::deviceName().value_or("Mac"));
    ASSERT_TRUE(waitUntil([&] {
        const auto p = ask(sock, op("policy")).policy;
        return p && p->locked && p->lockReason == "het_gio";
    }));

    // The child asks for a minute; a parent says yes; the daemon unlocks until it runs out.
    auto request = op("request");
    request.kind = "them_gio";
    request.minutes = 1;
    request.note = sneaky;
    const auto asked = ask(sock, request);
    ASSERT_TRUE(asked.result) << asked.error.value_or("");
    const auto waiting = console.get("requests").body["requests"];
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0]["status"], "cho");
    EXPECT_EQ(waiting[0]["note"], sneaky);
    ASSERT_EQ(console.post("requests/" + asked.result->id + "/answer", {{"answer", "duoc"}}).status,
              200);
    auto state = op("requestState");
    state.id = asked.result->id;
    const auto answered = ask(sock, state);
    ASSERT_TRUE(answered.state);
    EXPECT_EQ(answered.state->status, "duoc");
    EXPECT_EQ(answered.state->grantedMinutes, 1);
    // The answer comes at once; the sync that brings the grant follows behind it.
    std::optional<Policy> granted;
    ASSERT_TRUE(waitUntil([&] {
        granted = ask(sock, op("policy")).policy;
        return granted && !granted->locked;
    }));
    EXPECT_EQ(granted->grantEndsAt, answered.state->grantEndsAt);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto p = ask(sock, op("policy")).policy;
            return p && p->locked && p->lockReason == "het_gio";
        },
        90s));

    const int status = server->process().terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_P(ServerApi, HostileInputIsRefused) {
    ConsoleClient console(port);
    // Setup: CSRF first, then the token, then only once.
    EXPECT_EQ(console.call("POST", "/api/console/setup", {{"setupToken", setupToken}}, false).body,
              (json{{"message", "Phiên đã hết hạn, hãy tải lại trang."}}));
    auto wrong = console.post("setup", {{"setupToken", "guess"},
                                        {"familyName", "F"},
                                        {"parentName", "P"},
                                        {"password", "12345678"},
                                        {"timeZone", "UTC"}});
    EXPECT_EQ(wrong.status, 403);
    EXPECT_EQ(wrong.body["message"], "Mã thiết lập không đúng");
    const auto child = family(console, sneaky);
    ASSERT_FALSE(child.empty());
    EXPECT_EQ(console
                  .post("setup", {{"setupToken", setupToken},
                                  {"familyName", "F"},
                                  {"parentName", "P"},
                                  {"password", "12345678"},
                                  {"timeZone", "UTC"}})
                  .status,
              409);

    // Every text comes back as it was sent.
    const auto view = console.get("family").body;
    EXPECT_EQ(view["family"]["name"], "Nhà " + sneaky);
    EXPECT_EQ(view["parents"][0]["name"], sneaky);
    EXPECT_EQ(view["children"][0]["name"], sneaky);

    // Without the CSRF header, or with another one, nothing changes.
    for (const auto& header : {std::string(), std::string(64, 'a')}) {
        const auto saved = console.csrf;
        console.csrf = header;
        EXPECT_EQ(console.post("children/" + child + "/lock").status, 403);
        console.csrf = saved;
    }
    EXPECT_EQ(console.get("family").body["children"][0]["lockedByParent"], false);
    EXPECT_EQ(ConsoleClient(port).get("family").status, 401);

    // Bodies: too big, not JSON, not an object, out of range.
    EXPECT_EQ(console.post("children", {{"name", std::string(70 * 1024, 'x')}}).status, 413);
    EXPECT_EQ(console.call("POST", "/api/console/children", "not json").status, 400);
    EXPECT_EQ(console.call("POST", "/api/console/children", json::array()).status, 400);
    EXPECT_EQ(console.post("children/" + child + "/grant", {{"minutes", 1441}}).status, 400);
    EXPECT_EQ(console.post("children/nope/grant", {{"minutes", 5}}).status, 404);

    // Pairing: wrong, expired, used, and a removed device's token.
    const auto code = [&] {
        return console.post("children/" + child + "/pairing-code").body.value("code", "");
    };
    EXPECT_EQ(pair("12345x").body["message"], "Mã ghép không đúng");
    const auto stale = code();
    database()->transact(
        [](server::Transaction& tx) { tx.query("UPDATE pairing_codes SET expires_at = 0"); });
    const auto expired = pair(stale);
    EXPECT_EQ(expired.status, 410);
    EXPECT_EQ(expired.body["message"], "Mã ghép hết hạn");
    EXPECT_EQ(pair(code(), "windows").status, 400);
    const auto once = code();
    const auto paired = pair(once);
    ASSERT_EQ(paired.status, 200) << paired.body;
    EXPECT_EQ(paired.body["childName"], sneaky);
    EXPECT_EQ(pair(once).status, 404);
    const auto token = paired.body.value("token", "");
    const json sync{
        {"status", {{"protected", true}, {"reason", sneaky}}},
        {"usage",
         json::array(
             {{{"day", "2026-12-07"}, {"appId", sneaky}, {"appName", sneaky}, {"minutes", 3}}})},
        {"apps", json::array()}};
    EXPECT_EQ(device(token, "/api/device/sync", sync).status, 200);
    EXPECT_EQ(console.get("children/" + child + "/apps").body["apps"][0],
              (json{{"appId", sneaky}, {"appName", sneaky}}));
    EXPECT_EQ(console.get("family").body["devices"][0]["reason"], sneaky);
    EXPECT_EQ(device(token, "/api/device/sync", {{"usage", "many"}}).status, 400);
    EXPECT_EQ(device(token + "0", "/api/device/sync", sync).status, 401);
    const auto id = console.get("family").body["devices"][0].value("id", "");
    EXPECT_EQ(console.call("DELETE", "/api/console/devices/" + id).status, 200);
    EXPECT_EQ(device(token, "/api/device/sync", sync).status, 401);
    EXPECT_EQ(device(token, "/api/device/requests", {{"kind", "them_gio"}, {"minutes", 5}}).status,
              401);

    // Guessing: after ten wrong tries (three above), even the right answer waits.
    int wrongCodes = 0;
    for (int i = 0; i < 10; ++i)
        wrongCodes += pair("00000" + std::to_string(i)).status == 404;
    EXPECT_EQ(wrongCodes, 7);
    EXPECT_EQ(pair(code()).status, 429);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(
            console.post("login", {{"name", sneaky}, {"password", "sai " + std::to_string(i)}})
                .body["message"],
            "Sai tên hoặc mật khẩu.");
    EXPECT_EQ(console.post("login", {{"name", sneaky}, {"password", "mật khẩu dài"}}).status, 429);
}

TEST_P(ServerApi, RequestsWaitForParentsAndPointsBuyTimeAtOnce) {
    ConsoleClient console(port);
    const auto child = family(console);
    json rules = console.get("family").body["children"][0]["rules"];
    rules["canExchangePoints"] = true;
    rules["pointsPerMinute"] = 2;
    rules["exchangeCapMinutes"] = 20;
    console.call("PUT", "/api/console/children/" + child + "/rules", rules);
    EXPECT_EQ(console.post("children/" + child + "/points", {{"delta", 50}}).body["pointsBalance"],
              50);
    const auto token =
        pair(console.post("children/" + child + "/pairing-code").body.value("code", ""))
            .body.value("token", "");

    const auto ask = [&](const json& body) { return device(token, "/api/device/requests", body); };
    const auto first = ask({{"kind", "them_gio"}, {"minutes", 30}}).body;
    const auto second = ask({{"kind", "them_gio"}, {"minutes", 15}, {"appId", "org.x"}}).body;
    EXPECT_EQ(second["status"], "cho");
    EXPECT_EQ(device(token, "/api/device/requests/" + first.value("id", "")).body["status"],
              "thay");
    EXPECT_EQ(device(token, "/api/device/sync", {{"usage", json::array()}}).body["nextCheckSec"],
              10);

    const auto bought = ask({{"kind", "doi_diem"}, {"minutes", 20}}).body;
    EXPECT_EQ(bought["status"], "tu_duyet");
    EXPECT_TRUE(bought.contains("grantEndsAt"));
    // Over the day's cap.
    EXPECT_EQ(ask({{"kind", "doi_diem"}, {"minutes", 1}}).body["status"], "tu_choi");
    EXPECT_EQ(console.get("family").body["children"][0]["pointsBalance"], 10);

    const auto answered =
        console.post("requests/" + second.value("id", "") + "/answer", {{"answer", "tu_choi"}});
    EXPECT_EQ(answered.body["status"], "tu_choi");
    EXPECT_EQ(
        console.post("requests/" + second.value("id", "") + "/answer", {{"answer", "duoc"}}).status,
        409);
    EXPECT_EQ(device(token, "/api/device/sync", {{"usage", json::array()}}).body["nextCheckSec"],
              60);
    EXPECT_EQ(console.get("requests").body["requests"].size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Stores, ServerApi, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });
