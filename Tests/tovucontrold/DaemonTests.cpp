#include "Daemon.hpp"
#include "DaemonFixtures.hpp"
#include "TovuCore/Json.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <unistd.h>

using namespace tovu;
using namespace tovu::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

const std::string syncPath = "/api/device/sync";
const std::string requestsPath = "/api/device/requests";
const std::string notManaged = "Không phải tài khoản được quản lý";
const std::string agentDown =
    "Ứng dụng TovuControl trong phiên của con không chạy (con chưa đăng nhập hoặc đã tắt).";

IpcRequest usage(std::vector<UsageEntry> entries) {
    auto r = op("usage");
    r.entries = std::move(entries);
    return r;
}

// Holds the fake server's answers until opened; opened at the latest when the test ends.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool isOpen = false;
    void open() {
        std::lock_guard g(m);
        isOpen = true;
        cv.notify_all();
    }
    void wait() {
        std::unique_lock g(m);
        cv.wait(g, [this] { return isOpen; });
    }
};

class DaemonTest : public ::testing::Test {
protected:
    TempDir dir;
    FakeServer server;
    ManualClock clock{utcTime(2026, 3, 10, 5, 0, 7)};
    std::atomic<bool> childIsAdmin{false};
    std::mutex logMutex;
    std::vector<std::string> lines;
    std::unique_ptr<Daemon> daemon;

    AgentConfig config() const { return {server.url(), "tok", "dev-1", "Bin", "nobody"}; }

    Daemon& start(std::optional<AgentConfig> cfg, DaemonState st = {}, bool dev = false) {
        Daemon::Options options{dir.file("config.json"), dir.file("state.json"),
                                [this](std::string_view line) {
                                    std::lock_guard g(logMutex);
                                    lines.emplace_back(line);
                                },
                                [this](const std::string&) { return childIsAdmin.load(); }};
        daemon = std::make_unique<Daemon>(clock, std::move(cfg), std::move(st), dev, options);
        return *daemon;
    }
    Daemon& paired(DaemonState st = {}) { return start(config(), std::move(st)); }

    std::vector<std::string> logged() {
        std::lock_guard g(logMutex);
        return lines;
    }
    std::string day(int offset = 0) const {
        return UsageTracker::ngay(clock.now() + offset * std::chrono::hours(24));
    }
    std::vector<Recorded> sent(const std::string& path) const {
        std::vector<Recorded> out;
        for (auto& r : server.requests())
            if (r.path == path) out.push_back(r);
        return out;
    }
    std::optional<DaemonState> saved() const {
        return FileIO::read<DaemonState>(dir.file("state.json"));
    }
    DaemonState state() {
        std::lock_guard g(daemon->khoa);
        return daemon->st;
    }
    bool isOnline() {
        std::lock_guard g(daemon->khoa);
        return daemon->online;
    }
    IpcResponse ask(const IpcRequest& r, std::uint32_t uid = 0) { return daemon->xuLy(r, uid); }
};

} // namespace

TEST(DaemonStateTest, JsonFormOmitsAbsentFieldsAndNeedsUsage) {
    EXPECT_EQ(Json::encode(DaemonState{}), R"({"usage":[],"usedAtFetch":0})");
    DaemonState s{makePolicy(), utcTime(2001, 1, 1, 0, 1, 30), 7, {{"2026-03-10", "a", "A", 4}}};
    EXPECT_EQ(json(s)["fetchedAt"], 90.0);
    EXPECT_EQ(Json::decode<DaemonState>(Json::encode(s)), s);
    EXPECT_EQ(Json::decode<DaemonState>(R"({"policy":null,"usedAtFetch":3,"usage":[]})"),
              (DaemonState{std::nullopt, std::nullopt, 3, {}}));
    EXPECT_FALSE(Json::tryDecode<DaemonState>(R"({"usedAtFetch":0})"));
    EXPECT_FALSE(Json::tryDecode<DaemonState>(R"({"usage":[]})"));
}

TEST_F(DaemonTest, SyncClampsTheDelayAndStoresThePolicyWithTodaysTotal) {
    auto& d = paired({std::nullopt,
                      std::nullopt,
                      0,
                      {{day(-1), "a", "A", 500}, {day(), "a", "A", 30}, {day(), "b", "B", 10}}});
    for (auto [next, delay] :
         std::vector<std::pair<int, int>>{{0, 10}, {-5, 10}, {5, 10}, {60, 60}, {3600, 300}}) {
        server.reply("POST", syncPath, 200, Json::encode(makePolicy(next)));
        EXPECT_EQ(d.dongBo(), delay) << next;
    }
    const auto st = state();
    EXPECT_TRUE(isOnline());
    EXPECT_EQ(st.policy, makePolicy(3600));
    EXPECT_EQ(st.fetchedAt, clock.now());
    EXPECT_EQ(st.usedAtFetch, 40);
    EXPECT_EQ(saved(), st);
    EXPECT_TRUE(logged().empty());
}

TEST_F(DaemonTest, SyncSendsTheStatusTheStoredUsageAndNoApps) {
    const std::vector<UsageEntry> entries{{day(), "a", "A", 3}};
    auto& d = paired({std::nullopt, std::nullopt, 0, entries});
    server.reply("POST", syncPath, 200, Json::encode(makePolicy()));
    d.dongBo();
    const auto body = sent(syncPath).at(0).json();
    EXPECT_EQ(body["status"], (json{{"protected", false},
                                    {"helperAlive", false},
                                    {"childIsAdmin", false},
                                    {"childUser", "nobody"},
                                    {"reason", agentDown}}));
    EXPECT_EQ(body["usage"], json(entries));
    EXPECT_EQ(body["apps"], json::array());
    EXPECT_EQ(sent(syncPath).at(0).header("authorization"), "Bearer tok");
}

TEST_F(DaemonTest, FailedSyncLogsGoesOfflineAndKeepsThePolicy) {
    auto& d = paired();
    server.reply("POST", syncPath, 200, Json::encode(makePolicy()));
    d.dongBo();
    struct Case {
        int status;
        int delay;
        std::string text;
    };
    const std::string stamp = "[2026-03-10T05:00:07Z] ";
    for (const auto& c :
         std::vector<Case>{{401, 120, "Máy đã bị gỡ khỏi gia đình hoặc token sai: 401: sai"},
                           {403, 120, "Máy đã bị gỡ khỏi gia đình hoặc token sai: 403: sai"},
                           {402, 30, "Mất kết nối máy chủ: 402: sai"},
                           {404, 30, "Mất kết nối máy chủ: 404: sai"},
                           {200, 30, "Mất kết nối máy chủ: "}}) { // an answer that is not a policy
        server.reply("POST", syncPath, c.status, c.status == 200 ? "{}" : R"({"message":"sai"})");
        EXPECT_EQ(d.dongBo(), c.delay) << c.status;
        EXPECT_EQ(logged().back().rfind(stamp + c.text, 0), 0u) << logged().back();
        EXPECT_EQ(logged().back().back(), '\n');
        EXPECT_FALSE(isOnline());
        EXPECT_EQ(state().policy, makePolicy());
        EXPECT_TRUE(ask(op("policy")).policy);
        EXPECT_EQ(ask(op("policy")).online, false);
    }
}

TEST_F(DaemonTest, UnreachableServerOrBadAddressCountsAsLostConnection) {
    for (const std::string& address :
         {"http://127.0.0.1:" + std::to_string(closedPort()), std::string("http://exa mple")}) {
        auto c = config();
        c.server = address;
        auto& d = start(c);
        EXPECT_EQ(d.dongBo(), 30) << address;
        EXPECT_NE(logged().back().find("] Mất kết nối máy chủ: "), std::string::npos);
        EXPECT_EQ(ask(op("request")), IpcResponse::failure("Chưa gửi được — máy đang mất mạng"));
        EXPECT_EQ(ask(op("requestState")), IpcResponse::failure("Mất mạng"));
    }
    EXPECT_EQ(logged().back().substr(23), "Mất kết nối máy chủ: Địa chỉ máy chủ sai\n");
}

TEST_F(DaemonTest, EffectivePolicyCountsDownReportedMinutesUntilTheDayChanges) {
    auto p = makePolicy();
    p.minutesLeft = 60;
    auto& d = paired({p,
                      clock.now(),
                      100,
                      {{day(-1), "a", "A", 999}, {day(), "a", "A", 70}, {day(), "b", "B", 60}}});
    {
        std::lock_guard g(d.khoa);
        EXPECT_EQ(d.tongHomNay(), 130);
    }
    EXPECT_EQ(d.policyHieuLuc()->minutesLeft, 30);
    clock.advance(24h);
    EXPECT_EQ(d.policyHieuLuc(), p);
}

TEST_F(DaemonTest, GrantRunsOutByTheClock) {
    auto p = makePolicy();
    p.grantEndsAt = "2026-03-10T05:10:00Z";
    auto& d = paired({p, clock.now(), 0, {}});
    EXPECT_EQ(d.policyHieuLuc()->minutesLeft, 10);
    EXPECT_FALSE(d.policyHieuLuc()->locked);
    clock.set(utcTime(2026, 3, 10, 5, 10));
    const auto eff = d.policyHieuLuc();
    EXPECT_TRUE(eff->locked);
    EXPECT_EQ(eff->lockReason, "het_gio");
    EXPECT_EQ(eff->minutesLeft, 0);
    EXPECT_FALSE(eff->grantEndsAt);
}

TEST_F(DaemonTest, MinuteSumsSaturateInsteadOfWrappingAround) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    auto p = makePolicy();
    p.minutesLeft = 60;
    auto& d = paired({p, clock.now(), 0, {{day(), "a", "A", max}, {day(), "b", "B", max}}});
    {
        std::lock_guard g(d.khoa);
        EXPECT_EQ(d.tongHomNay(), max);
    }
    EXPECT_EQ(d.policyHieuLuc()->minutesLeft, 0);

    auto& e =
        paired({p, clock.now(), std::numeric_limits<std::int64_t>::min(), {{day(), "a", "A", 10}}});
    EXPECT_EQ(e.policyHieuLuc()->minutesLeft, 0);
}

TEST_F(DaemonTest, UsageKeepsTheLargerMinutesAndTheThreeLatestDays) {
    paired({std::nullopt,
            std::nullopt,
            0,
            {{day(-3), "x", "X", 5},
             {day(-2), "x", "X", 5},
             {day(-1), "x", "X", 5},
             {day(), "a", "A cũ", 12}}});
    EXPECT_TRUE(ask(op("usage")).ok);
    EXPECT_EQ(state().usage.size(), 3u); // the oldest day went, with no entries sent

    ask(usage({{day(), "a", "A mới", 10}}));
    EXPECT_EQ(state().usage.back(), (UsageEntry{day(), "a", "A cũ", 12}));
    ask(usage({{day(), "a", "A mới", 15}, {day(), "b", "B", 2}}));
    const std::vector<UsageEntry> expected{{day(-2), "x", "X", 5},
                                           {day(-1), "x", "X", 5},
                                           {day(), "a", "A mới", 15},
                                           {day(), "b", "B", 2}};
    EXPECT_EQ(state().usage, expected);
    EXPECT_EQ(saved()->usage, expected);
}

TEST_F(DaemonTest, UsageIgnoresNegativeMinutesAndDaysThatAreNotRealOrLieAhead) {
    paired();
    ask(usage({{day(), "neg", "N", -5},
               {"2026-02-30", "a", "A", 1},
               {"2026-1-05", "a", "A", 1},
               {"abc", "a", "A", 1},
               {"2026-13-01", "a", "A", 1},
               {day(1), "future", "F", 1},
               {"2024-02-29", "leap", "L", 1},
               {day(), "ok", "OK", 4}}));
    EXPECT_EQ(state().usage,
              (std::vector<UsageEntry>{{"2024-02-29", "leap", "L", 1}, {day(), "ok", "OK", 4}}));
}

TEST_F(DaemonTest, UsageTodayStartsEmptyAfterMidnight) {
    clock.set(localTime(2026, 3, 10, 23, 59));
    paired();
    ask(usage({{day(), "a", "A", 5}}));
    EXPECT_EQ(ask(op("usageToday")).entries, (std::vector<UsageEntry>{{day(), "a", "A", 5}}));
    clock.set(localTime(2026, 3, 11, 0, 1));
    EXPECT_EQ(ask(op("usageToday")).entries, std::vector<UsageEntry>{});
    EXPECT_EQ(state().usage.size(), 1u);
}

TEST_F(DaemonTest, UsageThatRunsOutTheMinutesStartsOneBackgroundSyncAtATime) {
    auto p = makePolicy();
    p.minutesLeft = 0; // every pass leaves the countdown run out
    auto gate = std::make_shared<Gate>();
    server.handle("POST", syncPath, [gate, p](const Recorded&) {
        gate->wait();
        return Reply{200, Json::encode(p)};
    });
    struct Opener {
        std::shared_ptr<Gate> g;
        ~Opener() { g->open(); }
    } opener{gate};
    p.minutesLeft = 10;
    const DaemonState st{p, clock.now(), 0, {}};
    paired(st);

    const auto r = ask(usage({{day(), "a", "A", 15}}));
    ASSERT_TRUE(r.policy);
    EXPECT_TRUE(r.policy->locked);
    EXPECT_EQ(r.policy->lockReason, "het_gio");
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_TRUE(ask(usage({})).policy->locked); // answered while the pass still waits
    ask(usage({}));
    gate->open();
    daemon.reset(); // waits for the pass
    EXPECT_EQ(sent(syncPath).size(), 1u);
    EXPECT_EQ(saved()->policy->minutesLeft, 0);

    // Once a pass has ended, the next such "usage" starts another.
    paired(st);
    ask(usage({{day(), "a", "A", 15}}));
    EXPECT_TRUE(waitUntil([&] {
        ask(usage({}));
        return sent(syncPath).size() >= 3;
    }));
}

TEST_F(DaemonTest, RequestUsesDefaultsAndSyncsBeforeAnsweringAGrant) {
    paired();
    server.reply("POST", requestsPath, 200, R"({"id":"r1","status":"cho"})");
    auto r = ask(op("request"));
    EXPECT_EQ(r.result, (RequestResult{"r1", "cho", std::nullopt}));
    EXPECT_EQ(sent(requestsPath).at(0).json(), (json{{"kind", "them_gio"}, {"minutes", 30}}));
    EXPECT_TRUE(sent(syncPath).empty());

    server.reply("POST", requestsPath, 200,
                 R"({"id":"r2","status":"tu_duyet","grantEndsAt":"2026-03-10T06:00:00Z"})");
    server.reply("POST", syncPath, 200, Json::encode(makePolicy()));
    auto req = op("request");
    req.kind = "doi_diem";
    req.minutes = 20;
    r = ask(req);
    EXPECT_EQ(r.result->id, "r2");
    EXPECT_EQ(sent(requestsPath).at(1).json(), (json{{"kind", "doi_diem"}, {"minutes", 20}}));
    EXPECT_EQ(sent(syncPath).size(), 1u);
    EXPECT_EQ(state().policy, makePolicy());
}

TEST_F(DaemonTest, RequestStateAsksForTheEmptyIdAndSyncsBeforeAnsweringAGrant) {
    paired();
    server.handle("GET", requestsPath + "/", [](const Recorded& r) {
        return r.path.ends_with("/g") ? Reply{200, R"({"status":"duoc","grantedMinutes":15,)"
                                                   R"("grantEndsAt":"2026-03-10T06:00:00Z"})"}
                                      : Reply{200, R"({"status":"cho"})"};
    });
    server.reply("POST", syncPath, 200, Json::encode(makePolicy()));
    EXPECT_EQ(ask(op("requestState")).state, (RequestState{"cho", std::nullopt, std::nullopt}));
    EXPECT_EQ(sent(requestsPath + "/").size(), 1u);
    EXPECT_TRUE(sent(syncPath).empty());

    auto req = op("requestState");
    req.id = "g";
    EXPECT_EQ(ask(req).state->grantedMinutes, 15);
    EXPECT_EQ(sent(syncPath).size(), 1u);
    EXPECT_TRUE(state().policy);
}

TEST_F(DaemonTest, ErrorAnswersCarryOnlyTheText) {
    paired(); // no request routes: the fake server answers 404
    EXPECT_EQ(ask(op("Policy")), IpcResponse::failure("Không hiểu yêu cầu Policy"));
    EXPECT_EQ(ask(op("")), IpcResponse::failure("Không hiểu yêu cầu "));
    EXPECT_EQ(ask(op("request")), IpcResponse::failure("Chưa gửi được — máy đang mất mạng"));
    EXPECT_EQ(ask(op("requestState")), IpcResponse::failure("Mất mạng"));
    EXPECT_FALSE(isOnline()); // request errors leave the sync state alone
    EXPECT_TRUE(logged().empty());
}

TEST_F(DaemonTest, OnlyRootAndTheChildAccountAreServed) {
    const auto child = uidOf("nobody");
    const auto other = uidOf("daemon");
    if (!child || !other) GTEST_SKIP() << "needs the accounts nobody and daemon";
    auto& d = paired();
    EXPECT_EQ(ask(op("policy"), *other), IpcResponse::failure(notManaged));
    EXPECT_EQ(ask(op("policy"), Ipc::unknownUid), IpcResponse::failure(notManaged));
    {
        std::lock_guard g(d.khoa);
        EXPECT_FALSE(d.helperLanCuoi); // refused callers do not count as the agent
    }
    EXPECT_TRUE(ask(op("policy"), *child).ok);
    const auto r = ask(op("policy"), 0);
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.policy);
    EXPECT_EQ(r.online, false);
    std::lock_guard g(d.khoa);
    EXPECT_EQ(d.helperLanCuoi, clock.now());
}

TEST_F(DaemonTest, UnpairedDaemonAnswersOnlyTrustedCallersWithThePairingError) {
    const auto child = uidOf("nobody");
    if (!child) GTEST_SKIP() << "needs the account nobody";
    const auto unpaired = IpcResponse::failure("Máy chưa ghép với bố mẹ");
    auto& d = start(std::nullopt);
    EXPECT_EQ(ask(op("policy"), 0), unpaired);
    EXPECT_EQ(ask(op("policy"), *child), IpcResponse::failure(notManaged));
    EXPECT_EQ(d.dongBo(), 30);
    EXPECT_EQ(d.trangThai(), json::object());
    EXPECT_TRUE(server.requests().empty());

    start(std::nullopt, {}, true);
    EXPECT_EQ(ask(op("policy"), *child), unpaired);
    EXPECT_EQ(ask(op("policy"), Ipc::unknownUid), unpaired);
}

TEST_F(DaemonTest, StatusReportsAStoppedAgentAndAnAdministratorChild) {
    auto& d = paired();
    ask(op("policy"));
    clock.advance(119s);
    EXPECT_EQ(d.trangThai(), (json{{"protected", true},
                                   {"helperAlive", true},
                                   {"childIsAdmin", false},
                                   {"childUser", "nobody"}}));
    clock.advance(1s);
    EXPECT_EQ(d.trangThai()["helperAlive"], false);
    EXPECT_EQ(d.trangThai()["reason"], agentDown);

    childIsAdmin = true;
    ask(op("policy"));
    EXPECT_EQ(d.trangThai(),
              (json{{"protected", false},
                    {"helperAlive", true},
                    {"childIsAdmin", true},
                    {"childUser", "nobody"},
                    {"reason", "Tài khoản nobody đang là quản trị — con tắt được TovuControl. "
                               "Đổi sang tài khoản thường."}}));
}

TEST_F(DaemonTest, ConfigIsReadAgainOnlyWhileUnpaired) {
    auto& d = start(std::nullopt);
    d.docLaiCfg();
    EXPECT_FALSE(d.cauHinh());
    FileIO::write(config(), dir.file("config.json"));
    d.docLaiCfg();
    EXPECT_EQ(d.cauHinh(), config());
    auto other = config();
    other.childUser = "daemon";
    FileIO::write(other, dir.file("config.json"));
    d.docLaiCfg();
    EXPECT_EQ(d.cauHinh(), config());
}
