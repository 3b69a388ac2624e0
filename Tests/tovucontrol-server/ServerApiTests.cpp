// The parents' server: its rules engine in process, and the built tovucontrol-server on each
// store, driven through its console API, the real setup tool and the real daemon, and attacked
// through both APIs.
#include "Accounts.hpp"
#include "Database.hpp"
#include "Devices.hpp"
#include "Engine.hpp"
#include "Families.hpp"
#include "Migrations.hpp"
#include "Security.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Json.hpp"
#include "WebPush.hpp"
#include "Zone.hpp"
#include "support/DaemonFixtures.hpp"
#include "support/ParentsServer.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

// Designated initializers leave every other member at its default, on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace tovu;
using namespace tovu::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

using namespace tovu::server;

const Time now = test::utcTime(2026, 12, 7, 10, 0); // a Monday

const Span day{8 * 60, 20 * 60};
const Span night{21 * 60, 6 * 60 + 30};

struct Case {
    const char* name;
    int minuteOfDay = 600;
    std::optional<std::int64_t> monday, tuesday; // minutes per day
    std::int64_t used = 0, underGrant = 0;
    std::optional<Span> hours, bedtime;
    bool byParent = false, learning = false;
    std::optional<Time> grantEnd;
    bool parentGrant = false;      // the grant is a parent's, not bought with points
    std::optional<Time> lateUntil; // tonight's bedtime starts then
    bool locked = false;
    std::optional<std::string> reason;
    std::optional<std::int64_t> left;
    std::string mode = "tu_do";
};

const std::string setupToken = "setup-token-for-tests";
const std::string sneaky = "Bé Na'); DROP TABLE children; -- \" \\ %_";
// Makes a certificate for the server on 127.0.0.1.
const std::string certificate =
    "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
    "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>/dev/null";

// The built server on a free port, on SQLite over HTTP (false) or on PostgreSQL over HTTPS with a
// certificate made for the test (true).
class ServerApi : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        std::vector<std::string> command{TOVUCONTROL_SERVER, "--setup-token", setupToken};
        if (GetParam()) {
            if (!PgCluster::available()) GTEST_SKIP() << "needs PostgreSQL 15";
            pg.emplace();
            store = {"--database", pg->url()};
            ca = data.file("cert.pem");
            const auto key = data.file("key.pem");
            ASSERT_EQ(std::system((certificate + " -keyout " + key + " -out " + ca).c_str()), 0);
            command.insert(command.end(), {"--tls-cert", ca, "--tls-key", key});
        }
        command.insert(command.end(), store.begin(), store.end());
        server.emplace(command);
        url = server->url();
    }

    Answer setup(ConsoleClient& c, const std::string& token, const std::string& parent) {
        return c.post("setup", {{"setupToken", token},
                                {"familyName", "Nhà " + sneaky},
                                {"parentName", parent},
                                {"password", "mật khẩu dài"},
                                {"timeZone", "UTC"}});
    }

    // A family with one child; returns the child's id.
    std::string family(ConsoleClient& c, const std::string& parent = "Mẹ",
                       const std::string& token = setupToken) {
        const auto s = setup(c, token, parent);
        EXPECT_EQ(s.status, 200) << s.body;
        // Under HTTPS the cookie never travels in clear.
        EXPECT_EQ(c.setCookie.ends_with("; Secure"), !ca.empty()) << c.setCookie;
        return c.post("children", {{"name", sneaky}}).body.value("id", "");
    }

    // The first child's rules with changes, as the console saves them.
    Answer changeRules(ConsoleClient& c, const std::string& child, const json& changes) {
        json rules = c.get("family").body["children"][0]["rules"];
        rules.update(changes);
        return c.call("PUT", "/api/console/children/" + child + "/rules", rules);
    }

    // The store the server uses, opened beside it.
    std::unique_ptr<Database> openStore() {
        return pg ? openPostgres(pg->url()) : openSqlite(data.file("data"));
    }

    Answer device(const std::string& token, const std::string& path, const json& body = nullptr) {
        auto http = serverClient(url, ca);
        const httplib::Headers auth{{"Authorization", "Bearer " + token}};
        const auto r = body.is_null()
                           ? http.Get(path.c_str(), auth)
                           : http.Post(path.c_str(), auth, body.dump(), "application/json");
        return {r->status, json::parse(r->body, nullptr, false)};
    }

    Answer pair(const std::string& code) {
        return device("", "/api/pair",
                      {{"code", code},
                       {"platform", "linux"},
                       {"deviceName", "Máy " + sneaky},
                       {"osVersion", "Linux 6.1"},
                       {"agentVersion", "mac-0.1.0"}});
    }

    // A new pairing code for the child.
    std::string code(ConsoleClient& c, const std::string& child) {
        return c.post("children/" + child + "/pairing-code").body.value("code", "");
    }

    // A program of the family's computer. The daemon and the setup tool trust only the
    // system's certificates: in a mount namespace of its own, the test's one stands for them.
    std::unique_ptr<DaemonProcess> start(std::vector<std::string> words,
                                         const std::map<std::string, std::string>& env,
                                         bool trusting = true) const {
        if (!ca.empty() && trusting)
            words.insert(words.begin(), {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                         "mount --bind " + ca +
                                             " /etc/ssl/certs/ca-certificates.crt && "
                                             "exec \"$0\" \"$@\""});
        const auto program = words.front();
        words.erase(words.begin());
        return std::make_unique<DaemonProcess>(program, env, words);
    }

    TempDir data;
    std::optional<PgCluster> pg;
    std::vector<std::string> store{"--data", data.file("data")};
    std::optional<ParentsServer> server;
    std::string ca, url;
};

} // namespace

TEST_P(ServerApi, DaemonAndSetupToolFollowWhatTheParentsDo) {
    if (geteuid() != 0) GTEST_SKIP() << "the setup tool checks a real account";
    // The family's day and the daemon's day are the same day.
    ScopedEnv utc("TZ", "UTC");
    ConsoleClient console(url, ca);
    const auto child = family(console);
    ASSERT_EQ(changeRules(console, child, {{"dailyMinutes", {1, 1, 1, 1, 1, 1, 1}}}).status, 200);

    // An account of its own: the daemon ends every program of the child's while it locks.
    const TempAccount kid;
    TempDir support;
    const std::vector<std::string> setupTool{
        TOVU_SETUP_BINARY, "--user", kid.name, "--server", url, "--code", code(console, child)};
    const std::map<std::string, std::string> env{{"TOVUC_DIR", support.path().string()}};
    // A server the system does not trust is refused, and the code stays good.
    EXPECT_TRUE(ca.empty() || start(setupTool, env, false)->wait() != 0);
    const auto tool = start(setupTool, env);
    ASSERT_EQ(tool->wait(), 0) << tool->log();

    // Two minutes of a game, counted before the daemon's restart: it tells the server, which
    // locks, and the parents see it.
    const auto today = UsageTracker::ngay(std::chrono::system_clock::now());
    FileIO::writeJson({{"usedAtFetch", 0},
                       {"usage",
                        {{{"day", today},
                          {"appId", "org.example.game"},
                          {"appName", "Trò " + sneaky},
                          {"minutes", 2}}}}},
                      support.file("state.json"));
    const auto sock = support.file("d.sock");
    const auto daemon =
        start({TOVUCONTROLD_PATH},
              {{"TOVUC_DIR", support.path().string()}, {"TOVUC_SOCK", sock}, {"TOVUC_DEV", "1"}});
    const auto policy = [&] { return Ipc::call(op("policy"), sock).policy; };
    json seen;
    ASSERT_TRUE(waitUntil([&] {
        seen = console.get("children/" + child + "/today").body;
        return seen["usedMinutes"] == 2;
    })) << seen
        << daemon->log();
    EXPECT_EQ(seen["lockReason"], "het_gio");
    EXPECT_EQ(seen["apps"][0]["appName"], "Trò " + sneaky);
    EXPECT_EQ(console.get("family").body["devices"][0]["childUser"], kid.name);
    ASSERT_TRUE(waitUntil([&] {
        const auto p = policy();
        return p && p->locked && p->lockReason == "het_gio";
    }));

    // The child asks for a minute; a parent says yes; the daemon unlocks until it runs out.
    const auto asked =
        Ipc::call({.op = "request", .kind = "them_gio", .minutes = 1, .note = sneaky}, sock);
    ASSERT_TRUE(asked.result) << asked.error.value_or("");
    EXPECT_EQ(console.get("requests").body["requests"][0]["note"], sneaky);
    ASSERT_EQ(console.post("requests/" + asked.result->id + "/answer", {{"answer", "duoc"}}).status,
              200);
    const auto answered = Ipc::call({.op = "requestState", .id = asked.result->id}, sock);
    ASSERT_TRUE(answered.state);
    EXPECT_EQ(answered.state->status, "duoc");
    EXPECT_EQ(answered.state->grantedMinutes, 1);
    // The answer comes at once; the sync that brings the grant follows behind it. The lock when
    // the grant runs out is the daemon's and the engine's alone.
    std::optional<Policy> granted;
    ASSERT_TRUE(waitUntil([&] {
        granted = policy();
        return granted && !granted->locked;
    }));
    EXPECT_EQ(granted->grantEndsAt, answered.state->grantEndsAt);

    const int status = server->process().terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_P(ServerApi, HostileInputIsRefused) {
    ConsoleClient console(url, ca);
    // Setup: CSRF first, then the token, then only once.
    EXPECT_EQ(console.call("POST", "/api/console/setup", {{"setupToken", setupToken}}, false).body,
              (json{{"message", "Phiên đã hết hạn, hãy tải lại trang."}}));
    EXPECT_EQ(setup(console, "guess", "P").status, 403);
    const auto child = family(console, sneaky);
    EXPECT_EQ(setup(console, setupToken, "P").status, 403);

    // Texts come back as they were sent.
    EXPECT_EQ(console.get("family").body["children"][0]["name"], sneaky);

    // Without the CSRF header, or with another one, nothing changes.
    for (const auto& header : {std::string(), std::string(64, 'a')}) {
        const auto saved = console.csrf;
        console.csrf = header;
        EXPECT_EQ(console.post("children/" + child + "/lock").status, 403);
        console.csrf = saved;
    }
    EXPECT_EQ(console.get("family").body["children"][0]["lockedByParent"], false);
    EXPECT_EQ(ConsoleClient(url, ca).get("family").status, 401);

    // Bodies: not JSON, out of range.
    EXPECT_EQ(console.call("POST", "/api/console/children", "not json").status, 400);
    EXPECT_EQ(console.post("children/" + child + "/grant", {{"minutes", 1441}}).status, 400);

    // Pairing: wrong, expired, used.
    EXPECT_EQ(pair("12345x").body["message"], "Mã ghép không đúng");
    const auto stale = code(console, child);
    openStore()->transact([](auto& tx) { tx.query("UPDATE pairing_codes SET expires_at = 0"); });
    const auto expired = pair(stale);
    EXPECT_EQ(expired.status, 410);
    EXPECT_EQ(expired.body["message"], "Mã ghép hết hạn");
    const auto once = code(console, child);
    ASSERT_EQ(pair(once).status, 200);
    EXPECT_EQ(pair(once).status, 404);

    // Push: an https endpoint with keys that are keys; an answer from a notification needs the
    // request's own token.
    const auto point = server::WebPush::newKeys().publicKey;
    const auto subscribe = [&](const std::string& endpoint, const std::string& p256dh) {
        return console
            .post("push/subscriptions",
                  {{"endpoint", endpoint},
                   {"keys", {{"p256dh", p256dh}, {"auth", "AAAAAAAAAAAAAAAAAAAAAA"}}}})
            .status;
    };
    EXPECT_EQ(subscribe("http://127.0.0.1:9/x", point), 400);
    EXPECT_EQ(subscribe("https://push.example/x", point.substr(0, 40)), 400);
    EXPECT_EQ(subscribe("https://push.example/x", point), 200);
    const auto asked = device(pair(code(console, child)).body.value("token", ""),
                              "/api/device/requests", {{"kind", "them_gio"}, {"minutes", 5}});
    const auto answer = [&](const std::string& request) {
        return console
            .call("POST", "/api/push/answer",
                  {{"request", request}, {"token", std::string(64, 'a')}, {"answer", "tu_choi"}},
                  false)
            .status;
    };
    EXPECT_EQ(answer(asked.body.value("id", "")), 403);
    EXPECT_EQ(answer("nothing"), 404);

    // Guessing: after ten wrong tries (three above), even the right answer waits.
    int wrongCodes = 0;
    for (int i = 0; i < 10; ++i)
        wrongCodes += pair("00000" + std::to_string(i)).status == 404;
    EXPECT_EQ(wrongCodes, 7);
    EXPECT_EQ(pair(code(console, child)).status, 429);
}

// A computer whose stored usage holds an entry the server cannot take still gets the parents'
// word: the rest of the sync is kept, and the answer says what was left out and why. A sync
// that is not one, or from a token that opens nothing, is refused whole.
TEST_P(ServerApi, ARefusedEntryNeverHoldsBackTheSync) {
    ConsoleClient console(url, ca);
    const auto child = family(console);
    const auto token = pair(code(console, child)).body.value("token", "");
    ASSERT_EQ(console.post("children/" + child + "/lock").status, 200);

    std::string emoji, path = "/home/bin/";
    for (int i = 0; i < 300; ++i)
        emoji += "\xF0\x9F\x8E\xAE";
    for (int i = 0; i < 90; ++i)
        path += "thư mục/";
    const auto entry = [](const std::string& id, const std::string& name, json minutes = 5,
                          const std::string& day = "2026-12-07") {
        return json{{"day", day}, {"appId", id}, {"appName", name}, {"minutes", minutes}};
    };
    json usage = {
        entry("org.a", "A"),
        entry(path, "Trò chơi"),             // 1: appId beyond its bytes
        entry("org.b", emoji),               // 2: name beyond its bytes
        entry("org.c", "C", -1),             // 3
        entry("org.d", "D", 5, "7/12/2026"), // 4
        "org.e",                             // 5
        entry("org.f", "F", 1.5),            // 6
        // What the computer sends after clipping passes.
        entry(Contract::clip(path, Contract::Text::appId),
              Contract::clip(emoji, Contract::Text::appName)),
    };
    // Enough apps to take several statements; an app sent twice for a day counts once.
    for (int i = 0; i < 40; ++i)
        usage.push_back(
            entry(std::to_string(i % 20), "", 3, "2026-12-0" + std::to_string(5 + i % 2)));
    const auto answer =
        device(token, "/api/device/sync",
               {{"usage", usage},
                {"status",
                 {{"protected", false}, {"reason", path + path}, {"lastRefusal", "\tLúc 14:05"}}}});
    ASSERT_EQ(answer.status, 200) << answer.body;
    const auto synced = Json::decode<SyncAnswer>(answer.body.dump());
    EXPECT_TRUE(synced.policy.locked);
    std::vector<std::int64_t> dropped;
    for (const auto& d : synced.dropped) {
        dropped.push_back(d.index);
        EXPECT_FALSE(d.reason.empty());
    }
    EXPECT_EQ(dropped, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(console.get("children/" + child + "/apps").body["apps"].size(), 22u);
    const auto shown = console.get("family").body["devices"][0];
    EXPECT_EQ(shown["reason"], Contract::clip(path + path, Contract::Text::reason));
    EXPECT_EQ(shown["lastRefusal"], "Lúc 14:05");
    EXPECT_EQ(device(token, "/api/device/sync", {{"usage", "many"}}).status, 400);
    EXPECT_EQ(device(token + "0", "/api/device/sync", {{"usage", usage}}).status, 401);
}

TEST_P(ServerApi, FamiliesOfOneServerStayApartWhileTheirRequestsGoOn) {
    ConsoleClient mum(url, ca), dad(url, ca), late(url, ca);
    const auto childA = family(mum);
    const auto tokenA = pair(code(mum, childA)).body.value("token", "");
    // The provider's token opens one more family, once.
    std::vector<std::string> command{TOVUCONTROL_SERVER, "--new-family"};
    command.insert(command.end(), store.begin(), store.end());
    const auto out = run(command, "").value_or("<failed>");
    std::smatch token;
    ASSERT_TRUE(std::regex_search(out, token, std::regex("gia đình mới: ([0-9a-f]{32}) "))) << out;
    const auto childB = family(dad, "Bố", token[1]);
    EXPECT_EQ(setup(late, token[1], "Bà").status, 403);
    const auto tokenB = pair(code(dad, childB)).body.value("token", "");

    // Dad's stream is open before anything happens in either family.
    std::atomic<bool> open = false;
    auto stream = std::async(std::launch::async, [&] {
        return dad.events([&](const std::string& text) {
            open = true;
            return text.find(childB) != std::string::npos;
        });
    });
    ASSERT_TRUE(waitUntil([&] { return open.load(); }));
    const auto ask = [&](const json& body) {
        return device(tokenA, "/api/device/requests", body).body;
    };
    const auto request = ask({{"kind", "them_gio"}, {"minutes", 5}}).value("id", "");
    const auto a = "children/" + childA;
    const auto deviceA = "devices/" + mum.get("family").body["devices"][0].value("id", "");
    const auto parentA = "parents/" + mum.get("family").body["parents"][0].value("id", "");
    auto body = dad.get("family").body["children"][0]["rules"];
    body.update(
        {{"minutes", 5}, {"delta", 5}, {"answer", "duoc"}, {"name", "Bé"}, {"until", "23:00"}});
    const std::map<std::string, std::vector<std::string>> others{
        {"GET", {a + "/today", a + "/week", a + "/apps"}},
        {"POST",
         {a + "/pairing-code", a + "/lock", a + "/unlock", a + "/grant", a + "/points",
          "requests/" + request + "/answer", a + "/late-bedtime", a + "/grant/undo"}},
        {"PUT", {a + "/rules", deviceA, a}},
        {"DELETE", {deviceA, a, a + "/late-bedtime", parentA}}};
    for (const auto& [method, paths] : others)
        for (const auto& path : paths)
            EXPECT_EQ(dad.call(method, "/api/console/" + path, body).status, 404) << path;
    const auto mine = dad.get("family").body;
    EXPECT_EQ(mine["children"].size(), 1u);
    EXPECT_EQ(mine["devices"].size(), 1u);
    EXPECT_EQ(mine["parents"], json::array({{{"id", mine["parents"][0]["id"]}, {"name", "Bố"}}}));
    EXPECT_EQ(dad.get("requests").body["requests"], json::array());
    const auto theirs = mum.get("family").body;
    EXPECT_EQ(theirs["children"][0]["lockedByParent"], false);
    EXPECT_EQ(theirs["children"][0]["pointsBalance"], 0);
    EXPECT_EQ(theirs["devices"].size(), 1u);
    EXPECT_EQ(mum.get("requests").body["requests"][0]["status"], "cho");

    // Mum's family goes on: a second request takes the place of the first, points buy time at
    // once up to the day's cap, and a second parent answers.
    changeRules(mum, childA,
                {{"canExchangePoints", true}, {"pointsPerMinute", 2}, {"exchangeCapMinutes", 20}});
    mum.post(a + "/points", {{"delta", 50}});
    const auto second = ask({{"kind", "them_gio"}, {"minutes", 15}, {"appId", "org.x"}});
    EXPECT_EQ(second["status"], "cho");
    EXPECT_EQ(device(tokenA, "/api/device/requests/" + request).body["status"], "thay");
    EXPECT_EQ(device(tokenA, "/api/device/sync", {{"usage", json::array()}}).body["nextCheckSec"],
              10);
    // Under the parents' lock points buy nothing and the child hears why.
    ASSERT_EQ(mum.post(a + "/lock").status, 200);
    const auto underLock = ask({{"kind", "doi_diem"}, {"minutes", 20}});
    EXPECT_EQ(underLock["status"], "tu_choi");
    EXPECT_EQ(underLock["message"], "Bố mẹ đang khoá máy");
    ASSERT_EQ(mum.post(a + "/unlock").status, 200);
    const auto bought = ask({{"kind", "doi_diem"}, {"minutes", 20}});
    EXPECT_EQ(bought["status"], "tu_duyet");
    EXPECT_TRUE(bought.contains("grantEndsAt"));
    EXPECT_EQ(ask({{"kind", "doi_diem"}, {"minutes", 1}})["status"], "tu_choi");
    EXPECT_EQ(mum.get("family").body["children"][0]["pointsBalance"], 10);
    const json gran{{"name", "Bà " + sneaky}, {"password", "mật khẩu của bà"}};
    ASSERT_EQ(mum.post("parents", gran).status, 200);
    EXPECT_EQ(late.post("login", gran).body["family"], mum.get("family").body["family"]);
    const auto answer = "requests/" + second.value("id", "") + "/answer";
    EXPECT_EQ(late.post(answer, {{"answer", "tu_choi"}}).body["status"], "tu_choi");
    EXPECT_EQ(mum.post(answer, {{"answer", "duoc"}}).status, 409);
    EXPECT_EQ(device(tokenA, "/api/device/sync", {{"usage", json::array()}}).body["nextCheckSec"],
              60);

    // Only now does dad's child ask: dad hears of his own family only.
    device(tokenB, "/api/device/requests", {{"kind", "them_gio"}, {"minutes", 5}});
    const auto heard = stream.get();
    EXPECT_NE(heard.find(childB), std::string::npos) << heard;
    EXPECT_EQ(heard.find(childA), std::string::npos) << heard;
    EXPECT_EQ(heard.find("event:"), heard.rfind("event:")) << heard;
}

// What a family changes now and then, each with the server's checks: names, the week's limits,
// a grant given by mistake, a password, who the parents are, and a child gone with their
// computers. The console's own steps through these are the browser test's.
TEST_P(ServerApi, ParentsManageTheFamily) {
    ConsoleClient mum(url, ca), dad(url, ca), mumElsewhere(url, ca);
    const auto child = family(mum);
    const auto path = "/api/console/children/" + child;
    const auto token = pair(code(mum, child)).body.value("token", "");

    // A second child of one name only once asked, also when renamed so; never a blank name.
    const auto other = mum.post("children", {{"name", sneaky}, {"sameName", true}});
    ASSERT_EQ(other.status, 200);
    const auto otherPath = "/api/console/children/" + other.body.value("id", "");
    EXPECT_EQ(mum.call("PUT", otherPath, {{"name", "Na"}}).status, 200);
    EXPECT_EQ(mum.call("PUT", path, {{"name", "Na"}}).body["confirm"], "sameName");
    EXPECT_EQ(mum.call("PUT", path, {{"name", " "}}).body["message"], "Tên: chưa điền.");

    // The week shows each day's own limit: today's rules, and a day of earlier rules.
    const auto today = Zone::local(std::chrono::system_clock::now(), "UTC").day;
    ASSERT_EQ(changeRules(mum, child, {{"dailyMinutes", {30, 30, 30, 30, 30, 30, 30}}}).status,
              200);
    openStore()->transact([&](auto& tx) {
        tx.query("INSERT INTO rule_days (child_id, day, rules) VALUES ($1, $2, $3)",
                 {child, Zone::addDays(today, -3),
                  Json::encode(json(ChildRules{.dailyMinutes = {45, 45, 45, 45, 45, 45, 45}}))});
    });
    std::vector<json> limits;
    const auto week = mum.get("children/" + child + "/week");
    ASSERT_EQ(week.status, 200) << week.body;
    for (const auto& d : week.body["days"])
        limits.push_back(d["limitMinutes"]);
    EXPECT_EQ(limits, (std::vector<json>{nullptr, nullptr, nullptr, 45, 45, 45, 30}));

    // A grant given by mistake is taken back, once.
    ASSERT_EQ(mum.post("children/" + child + "/grant", {{"minutes", 15}}).status, 200);
    EXPECT_TRUE(mum.get("family").body["children"][0]["grantEndsAt"].is_string());
    ASSERT_EQ(mum.post("children/" + child + "/grant/undo").status, 200);
    EXPECT_EQ(mum.get("family").body["children"][0]["grantEndsAt"], nullptr);
    EXPECT_EQ(mum.post("children/" + child + "/grant/undo").status, 409);

    // A password: the current one first; then the other sessions end and this one stays.
    ASSERT_EQ(mumElsewhere.post("login", {{"name", "Mẹ"}, {"password", "mật khẩu dài"}}).status,
              200);
    const json change{{"current", "mật khẩu dài"}, {"password", "mật khẩu mới dài"}};
    EXPECT_EQ(mum.post("password", {{"current", "sai"}, {"password", "mật khẩu mới dài"}}).status,
              403);
    EXPECT_EQ(mum.post("password", {{"current", "mật khẩu dài"}, {"password", "ngắn"}}).status,
              400);
    ASSERT_EQ(mum.post("password", change).status, 200);
    EXPECT_EQ(mum.get("family").status, 200);
    EXPECT_EQ(mumElsewhere.get("family").status, 401);
    EXPECT_EQ(dad.post("login", {{"name", "Mẹ"}, {"password", "mật khẩu dài"}}).status, 401);

    // Parents: another one may go, never oneself, so a family always keeps one.
    ASSERT_EQ(mum.post("parents", {{"name", "Bố"}, {"password", "mật khẩu của bố"}}).status, 200);
    ASSERT_EQ(dad.post("login", {{"name", "Bố"}, {"password", "mật khẩu của bố"}}).status, 200);
    std::map<std::string, std::string> ids;
    const auto parents = mum.get("family").body["parents"];
    for (const auto& p : parents)
        ids[p.value("name", "")] = p.value("id", "");
    const auto mumId = ids["Mẹ"], dadId = ids["Bố"];
    EXPECT_EQ(mum.call("DELETE", "/api/console/parents/" + mumId).status, 409);
    ASSERT_EQ(mum.call("DELETE", "/api/console/parents/" + dadId).status, 200);
    EXPECT_EQ(dad.get("family").status, 401);
    EXPECT_EQ(dad.call("DELETE", "/api/console/parents/" + mumId).status, 401);
    EXPECT_EQ(mum.get("family").body["parents"].size(), 1u);

    // A QR code only for a parent, of a short text.
    EXPECT_EQ(mum.get("qr?text=https%3A%2F%2Fnha.example%20123456").status, 200);
    EXPECT_EQ(mum.get("qr?text=" + std::string(600, 'x')).status, 400);
    EXPECT_EQ(dad.get("qr?text=x").status, 401);

    // A child gone: their computer gets no rules, and their requests go with them.
    ASSERT_EQ(device(token, "/api/device/requests", {{"kind", "them_gio"}, {"minutes", 5}}).status,
              200);
    ASSERT_EQ(mum.call("DELETE", path).status, 200);
    EXPECT_EQ(device(token, "/api/device/sync", {{"usage", json::array()}}).status, 401);
    EXPECT_EQ(mum.get("requests").body["requests"], json::array());
    EXPECT_EQ(mum.get("family").body["children"].size(), 1u);
    EXPECT_EQ(mum.call("DELETE", path).status, 404);
}

INSTANTIATE_TEST_SUITE_P(Stores, ServerApi, testing::Bool(), [](const auto& info) {
    return info.param ? "PostgreSQLOverHttps" : "SQLite";
});

// Thirty wrong passwords at once, on two stores over one database as two server processes
// would have: exactly ten are checked, and then even the right one waits.
TEST(Accounts, WrongPasswordsAtOnceAreCheckedTenTimes) {
    Security::init();
    for (const bool postgres : {false, true}) {
        if (postgres && !PgCluster::available()) continue;
        TempDir data;
        std::optional<PgCluster> pg;
        if (postgres) pg.emplace();
        const auto open = [&] {
            return postgres ? openPostgres(pg->url()) : openSqlite(data.file("data"));
        };
        auto first = open(), second = open();
        migrate(*first);
        Accounts a(*first, SystemClock::shared()), b(*second, SystemClock::shared());
        a.setup(a.setupToken("t"), "Nhà", "Mẹ", "mật khẩu dài", "UTC");
        const auto login = [](Accounts& on, const std::string& password) {
            try {
                on.login("Mẹ", password, "203.0.113.7");
            } catch (const Refusal& e) {
                return e.status;
            }
            return 200;
        };
        std::vector<std::future<int>> tries;
        for (int i = 0; i < 30; ++i)
            tries.push_back(std::async(std::launch::async,
                                       [&, i] { return login(i % 2 ? a : b, "đoán sai"); }));
        std::map<int, int> statuses;
        for (auto& t : tries)
            ++statuses[t.get()];
        EXPECT_EQ(statuses, (std::map<int, int>{{401, 10}, {429, 20}})) << postgres;
        EXPECT_EQ(login(a, "mật khẩu dài"), 429) << postgres;
    }
}

// The parents hear of a computer once a spell: when it is not protected, and when it has been
// offline for an hour while the child may use it (not at bedtime).
TEST(Devices, ComputersAreToldOfOnceASpell) {
    Security::init();
    TempDir data;
    const auto db = openSqlite(data.file("data"));
    migrate(*db);
    ManualClock clock(now);
    Accounts accounts(*db, clock);
    Families families(*db, clock);
    Devices devices(*db, clock);
    const auto parent = accounts.setup(accounts.setupToken("t"), "Nhà", "Mẹ", "mật khẩu", "UTC");
    const auto child = families.addChild(parent, "Bin", false).id;
    const auto paired = devices.pair(
        {families.pairingCode(parent, child).code, "linux", "Máy", "Linux", "0.1"}, "127.0.0.1");
    const auto sync = [&](bool safe) {
        devices.sync(paired.token, {.status = {{"protected", safe}, {"reason", "Không có agent"}}});
    };
    const auto told = [&] {
        std::vector<std::string> out;
        for (const auto& n : devices.noticesDue())
            out.push_back(n.offline ? "offline since " + n.lastSeen : *n.reason);
        return out;
    };
    using Told = std::vector<std::string>;
    sync(true);
    EXPECT_EQ(told(), Told{});
    sync(false);
    EXPECT_EQ(told(), Told{"Không có agent"});
    sync(false);
    EXPECT_EQ(told(), Told{});
    sync(true);
    sync(false);
    EXPECT_EQ(told(), Told{"Không có agent"});

    sync(true);
    clock.advance(59min);
    EXPECT_EQ(told(), Told{});
    clock.advance(2min);
    EXPECT_EQ(told(), Told{"offline since 10:00"});
    EXPECT_EQ(told(), Told{});
    // Back at 11:01, gone again until bedtime (11:30 to 13:00) and past it.
    sync(true);
    families.setRules(parent, child, ChildRules{.bedtime = Span{11 * 60 + 30, 13 * 60}});
    clock.advance(90min);
    EXPECT_EQ(told(), Told{});
    clock.advance(30min);
    EXPECT_EQ(told(), Told{"offline since 11:01"});
}

TEST(Engine, PolicyForRulesStateAndTime) {
    // clang-format off
    const Case cases[] = {
        {.name = "other weekday's limit does not count", .tuesday = 10, .used = 60},
        {.name = "used up with learning apps", .monday = 60, .used = 70, .learning = true,
         .reason = "het_gio", .left = 0, .mode = "hoc"},
        {.name = "minutes under a grant are not the day's", .monday = 60, .used = 80,
         .underGrant = 30, .left = 10},
        {.name = "before the hours", .minuteOfDay = 479, .hours = day, .locked = true,
         .reason = "ngoai_gio"},
        {.name = "hours begin", .minuteOfDay = 480, .hours = day},
        {.name = "hours end", .minuteOfDay = 1200, .hours = day, .locked = true,
         .reason = "ngoai_gio"},
        {.name = "bedtime across midnight", .minuteOfDay = 1380, .bedtime = night,
         .locked = true, .reason = "ngu"},
        {.name = "bedtime over", .minuteOfDay = 390, .bedtime = night},
        {.name = "bedtime before the hours", .minuteOfDay = 60, .hours = day,
         .bedtime = Span{0, 7 * 60}, .locked = true, .reason = "ngu"},
        {.name = "parent's lock beats a grant", .byParent = true, .grantEnd = now + 1h,
         .parentGrant = true, .locked = true},
        {.name = "parent's grant lifts the limits", .monday = 0, .bedtime = Span{9 * 60, 11 * 60},
         .grantEnd = now + 90s, .parentGrant = true, .left = 2},
        {.name = "bought time lifts the allowance", .monday = 0, .grantEnd = now + 90s,
         .left = 2},
        {.name = "bought time keeps bedtime", .bedtime = Span{9 * 60, 11 * 60},
         .grantEnd = now + 90s, .locked = true, .reason = "ngu"},
        {.name = "bought time keeps the hours", .minuteOfDay = 1300, .hours = day,
         .grantEnd = now + 90s, .locked = true, .reason = "ngoai_gio"},
        {.name = "grant ending now is over", .monday = 0, .grantEnd = now, .locked = true,
         .reason = "het_gio", .left = 0},
        {.name = "a later bedtime tonight", .minuteOfDay = 1380, .hours = day, .bedtime = night,
         .lateUntil = now + 1min},
        {.name = "a later bedtime keeps the day's minutes", .minuteOfDay = 1380, .monday = 60,
         .used = 60, .bedtime = night, .lateUntil = now + 1min, .locked = true,
         .reason = "het_gio", .left = 0},
        {.name = "a later bedtime keeps the parents' lock", .minuteOfDay = 1380,
         .bedtime = night, .byParent = true, .lateUntil = now + 1min, .locked = true},
        {.name = "a later bedtime over", .minuteOfDay = 1380, .bedtime = night,
         .lateUntil = now, .locked = true, .reason = "ngu"},
    };
    // clang-format on
    for (const auto& c : cases) {
        ChildRules rules{
            .dailyMinutes = {c.monday, c.tuesday}, .hours = {c.hours}, .bedtime = c.bedtime};
        if (c.learning) rules.learningApps = {"org.kde.kalzium"};
        const ChildState state{.lockedByParent = c.byParent,
                               .grantEnd = c.grantEnd,
                               .parentGrantEnd = c.parentGrant ? c.grantEnd : std::nullopt,
                               .bedtimeDelayedUntil = c.lateUntil,
                               .usedToday = c.used,
                               .usedUnderGrant = c.underGrant};
        const auto p = Engine::policy(rules, state, {"2026-12-07", 0, c.minuteOfDay}, now);
        EXPECT_EQ(p.locked, c.locked) << c.name;
        EXPECT_EQ(p.lockReason, c.reason) << c.name;
        EXPECT_EQ(p.minutesLeft, c.left) << c.name;
        EXPECT_EQ(p.mode, c.mode) << c.name;
    }
}

TEST(Engine, LaterBedtimeFallsInTonightsBedtime) {
    const ChildRules rules{.hours = {day}, .bedtime = night};
    const LocalTime late{"2026-12-07", 0, 22 * 60}; // now is 22:00 on the family's clock
    const struct {
        int until;
        std::optional<Time> at; // absent: refused
    } cases[] = {{22 * 60 + 30, now + 30min},     {5 * 60, now + 7h},
                 {6 * 60 + 30, now + 8h + 30min}, {22 * 60, std::nullopt},
                 {21 * 60, std::nullopt},         {21 * 60 + 30, std::nullopt},
                 {20 * 60, std::nullopt},         {7 * 60, std::nullopt}};
    for (const auto& c : cases) {
        if (c.at)
            EXPECT_EQ(Engine::lateBedtime(rules, late, now + 20s, c.until), *c.at) << c.until;
        else
            EXPECT_THROW(Engine::lateBedtime(rules, late, now, c.until), BadInput) << c.until;
    }
    EXPECT_THROW(Engine::lateBedtime(ChildRules{}, late, now, 22 * 60 + 30), BadInput);
    // When the rules alone lift a lock: the end of bedtime, the start of today's hours.
    EXPECT_EQ(Engine::lockEnd(rules, late, "ngu"), 6 * 60 + 30);
    EXPECT_EQ(Engine::lockEnd(rules, {"2026-12-07", 0, 7 * 60}, "ngoai_gio"), 8 * 60);
    EXPECT_EQ(Engine::lockEnd(rules, {"2026-12-07", 0, 21 * 60}, "ngoai_gio"), std::nullopt);
    EXPECT_EQ(Engine::lockEnd(rules, late, std::nullopt), std::nullopt);
}

// How often a device asks, with a request waiting or not, is followed through the device API.
TEST(Engine, GrantCarriesItsEndAndApps) {
    const ChildRules rules{.allowedApps = {"a"}};
    const ChildState state{.grantEnd = now + 15min, .grantApps = {"b", "a"}};
    const auto p = Engine::policy(rules, state, {"2026-12-07", 0, 600}, now);
    EXPECT_EQ(p.grantEndsAt, "2026-12-07T10:15:00Z");
    EXPECT_EQ(p.minutesLeft, 15);
    EXPECT_EQ(p.allowedApps, (std::vector<std::string>{"a", "b"}));
}

TEST(Engine, PointsBuyTimeOnlyWhenNothingButTheAllowanceLocks) {
    const ChildRules rules{
        .canExchangePoints = true, .pointsPerMinute = 2, .exchangeCapMinutes = 30};
    Policy open, timeUp{.locked = true, .lockReason = "het_gio"};
    const struct {
        Policy inForce;
        ChildRules rules;
        std::int64_t balance, exchanged;
        std::optional<std::string> refusal;
    } cases[] = {
        {open, rules, 60, 0, std::nullopt},
        {timeUp, rules, 60, 0, std::nullopt},
        {Policy{.locked = true}, rules, 60, 0, "Bố mẹ đang khoá máy"},
        {Policy{.locked = true, .lockReason = "ngu"}, rules, 60, 0, "Đến giờ ngủ rồi"},
        {Policy{.locked = true, .lockReason = "ngoai_gio"}, rules, 60, 0, "Ngoài giờ dùng máy"},
        {open, ChildRules{}, 60, 0, "Bố mẹ chưa cho đổi điểm lấy thời gian."},
        {open, rules, 60, 1, "Hôm nay con chỉ được đổi tối đa 30 phút."},
        {open, rules, 59, 0, "Chưa đủ điểm: cần 60 điểm, con có 59 điểm."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Engine::exchangeRefusal(c.rules, c.inForce, c.balance, c.exchanged, 30),
                  c.refusal)
            << c.refusal.value_or("allowed");
}

// Every field's way through the console and back is followed in the browser test.
TEST(Engine, RulesRefuseWhatTheyCannotMean) {
    const json j = ChildRules{};
    const std::vector<std::pair<const char*, json>> bad = {
        {"/bedtime", {{"from", "08:00"}, {"to", "08:00"}}},
        {"/dailyMinutes/0", -1},
        {"/dailyMinutes", json::array({1, 2})},
        {"/mode", "khoa"},
        {"/canExchangePoints", "yes"},
    };
    for (const auto& [pointer, value] : bad) {
        json b = j;
        b[json::json_pointer(pointer)] = value;
        EXPECT_THROW(b.get<ChildRules>(), BadInput) << pointer << " = " << value;
    }
}
