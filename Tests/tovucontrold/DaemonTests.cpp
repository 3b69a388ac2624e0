#include "Daemon.hpp"
#include "DaemonFixtures.hpp"
#include "TovuCore/Json.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <tuple>

using namespace tovu;
using namespace tovu::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

const std::string syncPath = "/api/device/sync";
const auto notManaged = IpcResponse::failure("Không phải tài khoản được quản lý");
const auto unpaired = IpcResponse::failure("Máy chưa ghép với bố mẹ");
const std::string agentDown =
    "Ứng dụng TovuControl trong phiên của con không chạy (con chưa đăng nhập hoặc đã tắt).";
using Minutes = std::numeric_limits<std::int64_t>;

IpcRequest usage(std::vector<UsageEntry> entries) {
    auto r = op("usage");
    r.entries = std::move(entries);
    return r;
}

UsageEntry on(std::string day, std::int64_t minutes, std::string app = "a",
              std::string name = "A") {
    return {std::move(day), std::move(app), std::move(name), minutes};
}

Policy withMinutes(std::int64_t left) {
    auto p = makePolicy();
    p.minutesLeft = left;
    return p;
}

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
    // A state holding p, fetched now.
    DaemonState fetched(Policy p, std::int64_t usedAtFetch, std::vector<UsageEntry> usage) const {
        return {std::move(p), clock.now(), usedAtFetch, std::move(usage)};
    }

    std::vector<std::string> logged() {
        std::lock_guard g(logMutex);
        return lines;
    }
    std::string day(int offset = 0) const {
        return UsageTracker::ngay(clock.now() + offset * std::chrono::hours(24));
    }
    std::optional<DaemonState> saved() const {
        return FileIO::read<DaemonState>(dir.file("state.json"));
    }
    DaemonState state() {
        std::lock_guard g(daemon->khoa);
        return daemon->st;
    }
    std::int64_t tongHomNay() {
        std::lock_guard g(daemon->khoa);
        return daemon->tongHomNay();
    }
    IpcResponse ask(const IpcRequest& r, std::uint32_t uid = 0) { return daemon->xuLy(r, uid); }
};

} // namespace

TEST(DaemonStateTest, JsonFormOmitsAbsentFieldsAndNeedsUsage) {
    EXPECT_EQ(Json::encode(DaemonState{}), R"({"usage":[],"usedAtFetch":0})");
    DaemonState s{makePolicy(), utcTime(2001, 1, 1, 0, 1, 30), 7, {on("2026-03-10", 4)}};
    EXPECT_EQ(json(s)["fetchedAt"], 90.0);
    EXPECT_EQ(Json::decode<DaemonState>(Json::encode(s)), s);
    EXPECT_EQ(Json::decode<DaemonState>(R"({"policy":null,"usedAtFetch":3,"usage":[]})"),
              (DaemonState{{}, {}, 3, {}}));
    EXPECT_FALSE(Json::tryDecode<DaemonState>(R"({"usedAtFetch":0})"));
    EXPECT_FALSE(Json::tryDecode<DaemonState>(R"({"usage":[]})"));
}

TEST_F(DaemonTest, SyncSendsStatusAndUsageClampsTheDelayAndStoresTodaysTotal) {
    const std::vector<UsageEntry> entries{on(day(-1), 500), on(day(), 30), on(day(), 10, "b")};
    auto& d = paired({{}, {}, 0, entries});
    for (auto [next, delay] :
         std::vector<std::pair<int, int>>{{0, 10}, {-5, 10}, {5, 10}, {60, 60}, {3600, 300}}) {
        server.reply("POST", syncPath, 200, Json::encode(makePolicy(next)));
        EXPECT_EQ(d.dongBo(), delay) << next;
    }
    EXPECT_EQ(server.requests().at(0).header("authorization"), "Bearer tok");
    const auto body = server.requests().at(0).json();
    EXPECT_EQ(body["status"], d.trangThai());
    EXPECT_EQ(body["usage"], json(entries));
    EXPECT_EQ(body["apps"], json::array());
    EXPECT_EQ(state(), fetched(makePolicy(3600), 40, entries));
    EXPECT_EQ(saved(), state());
    EXPECT_EQ(ask(op("policy")).online, true);
    EXPECT_TRUE(logged().empty());
}

TEST_F(DaemonTest, FailedSyncLogsGoesOfflineAndKeepsThePolicy) {
    auto& d = paired();
    const std::string refused = "Máy đã bị gỡ khỏi gia đình hoặc token sai: ";
    const std::string lost = "Mất kết nối máy chủ: ";
    for (const auto& [status, delay, text] :
         std::vector<std::tuple<int, int, std::string>>{{401, 120, refused + "401: sai"},
                                                        {404, 30, lost + "404: sai"},
                                                        {200, 30, lost}}) { // not a policy
        SCOPED_TRACE(status);
        server.reply("POST", syncPath, 200, Json::encode(makePolicy()));
        ASSERT_EQ(d.dongBo(), 60); // online again
        server.reply("POST", syncPath, status, status == 200 ? "{}" : R"({"message":"sai"})");
        EXPECT_EQ(d.dongBo(), delay);
        const auto line = logged().back();
        EXPECT_TRUE(line.starts_with("[2026-03-10T05:00:07Z] " + text) && line.ends_with('\n'))
            << line;
        const auto r = ask(op("policy"));
        EXPECT_EQ(r.policy, makePolicy());
        EXPECT_EQ(r.online, false);
    }
    auto c = config();
    c.server = "http://exa mple";
    EXPECT_EQ(start(c).dongBo(), 30);
    EXPECT_EQ(logged().back(), "[2026-03-10T05:00:07Z] " + lost + "Địa chỉ máy chủ sai\n");
}

TEST_F(DaemonTest, EffectivePolicyCountsDownTodaysMinutesAndEndsTheGrantByTheClock) {
    auto& d = paired(
        fetched(withMinutes(60), 100, {on(day(-1), 999), on(day(), 70), on(day(), 60, "b")}));
    EXPECT_EQ(tongHomNay(), 130);
    EXPECT_EQ(d.policyHieuLuc()->minutesLeft, 30);
    clock.advance(24h); // a new day: nothing used since the fetch
    EXPECT_EQ(d.policyHieuLuc(), withMinutes(60));

    auto grant = makePolicy();
    grant.grantEndsAt = "2026-03-11T05:10:00Z";
    auto& e = paired(fetched(grant, 0, {}));
    EXPECT_EQ(e.policyHieuLuc()->minutesLeft, 10);
    clock.set(utcTime(2026, 3, 11, 5, 10));
    EXPECT_EQ(e.policyHieuLuc()->lockReason, "het_gio");
}

TEST_F(DaemonTest, MinuteSumsSaturateInsteadOfWrappingAround) {
    auto& d = paired(fetched(withMinutes(60), 0, {on(day(), Minutes::max()), on(day(), 9, "b")}));
    EXPECT_EQ(tongHomNay(), Minutes::max());
    EXPECT_EQ(d.policyHieuLuc()->minutesLeft, 0);
    auto& e = paired(fetched(withMinutes(60), Minutes::min(), {on(day(), 10)}));
    EXPECT_EQ(e.policyHieuLuc()->minutesLeft, 0);
}

TEST_F(DaemonTest, UsageKeepsTheLargerMinutesAndTheThreeLatestDays) {
    paired(
        {{}, {}, 0, {on(day(-3), 5), on(day(-2), 5), on(day(-1), 5), on(day(), 12, "a", "A cũ")}});
    EXPECT_TRUE(ask(op("usage")).ok);
    EXPECT_EQ(state().usage.size(), 3u); // the oldest day went, with no entries sent
    ask(usage({on(day(), 10, "a", "A mới")}));
    EXPECT_EQ(state().usage.back(), on(day(), 12, "a", "A cũ"));
    ask(usage({on(day(), 15, "a", "A mới"), on(day(), 2, "b")}));
    const std::vector<UsageEntry> expected{on(day(-2), 5), on(day(-1), 5),
                                           on(day(), 15, "a", "A mới"), on(day(), 2, "b")};
    EXPECT_EQ(state().usage, expected);
    EXPECT_EQ(saved()->usage, expected);
}

TEST_F(DaemonTest, UsageIgnoresNegativeMinutesAndDaysThatAreNotRealOrLieAhead) {
    paired();
    ask(usage({on(day(), -5, "neg"), on("2026-02-30", 1), on("2026-1-05", 1), on("abc", 1),
               on("2026-13-01", 1), on(day(1), 1), on("2024-02-29", 1), on(day(), 4)}));
    EXPECT_EQ(state().usage, (std::vector{on("2024-02-29", 1), on(day(), 4)}));
}

TEST_F(DaemonTest, UsageTodayStartsEmptyAfterMidnight) {
    clock.set(localTime(2026, 3, 10, 23, 59));
    paired();
    ask(usage({on(day(), 5)}));
    EXPECT_EQ(ask(op("usageToday")).entries, std::vector{on(day(), 5)});
    clock.set(localTime(2026, 3, 11, 0, 1));
    EXPECT_EQ(ask(op("usageToday")).entries, std::vector<UsageEntry>{});
    EXPECT_EQ(state().usage.size(), 1u);
}

TEST_F(DaemonTest, UsageThatRunsOutTheMinutesStartsOneBackgroundSyncAtATime) {
    std::promise<void> release; // the server's answers wait for it, or for the end of the test
    server.handle("POST", syncPath, [released = release.get_future().share()](const Recorded&) {
        released.wait();
        return Reply{200, Json::encode(withMinutes(0))}; // the minutes stay run out
    });
    const auto st = fetched(withMinutes(10), 0, {});
    paired(st);
    const auto r = ask(usage({on(day(), 15)}));
    ASSERT_TRUE(r.policy && r.policy->locked);
    EXPECT_EQ(r.policy->lockReason, "het_gio");
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_TRUE(ask(usage({})).policy->locked); // answered while the pass still waits
    release.set_value();
    daemon.reset(); // waits for the pass
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(saved()->policy->minutesLeft, 0);

    // Once a pass has ended, the next such "usage" starts another.
    paired(st);
    EXPECT_TRUE(waitUntil([&] {
        ask(usage({on(day(), 15)}));
        return server.requests().size() >= 3;
    }));
}

TEST_F(DaemonTest, RequestsUseDefaultsAndSyncBeforeAnsweringAGrant) {
    paired();
    // Error answers carry only the text; no route yet: the fake server answers 404.
    EXPECT_EQ(ask(op("Policy")), IpcResponse::failure("Không hiểu yêu cầu Policy"));
    EXPECT_EQ(ask(op("request")), IpcResponse::failure("Chưa gửi được — máy đang mất mạng"));
    EXPECT_EQ(ask(op("requestState")), IpcResponse::failure("Mất mạng"));
    EXPECT_TRUE(logged().empty());
    const auto asked = server.requests().size();

    const std::string path = "/api/device/requests";
    const std::string granted = R"("grantEndsAt":"2026-03-10T06:00:00Z")";
    server.reply("POST", path, 200, R"({"id":"r1","status":"cho"})");
    server.reply("GET", path + "/", 200, R"({"status":"cho"})");
    server.reply("GET", path + "/g", 200,
                 R"({"status":"duoc","grantedMinutes":15,)" + granted + "}");
    server.reply("POST", syncPath, 200, Json::encode(makePolicy()));
    EXPECT_EQ(ask(op("request")).result, (RequestResult{"r1", "cho", std::nullopt}));
    EXPECT_EQ(server.requests().at(asked).json(), (json{{"kind", "them_gio"}, {"minutes", 30}}));
    EXPECT_EQ(ask(op("requestState")).state, (RequestState{"cho", std::nullopt, std::nullopt}));
    EXPECT_EQ(server.requests().size(), asked + 2); // no sync without a grant
    auto req = op("requestState");
    req.id = "g";
    EXPECT_EQ(ask(req).state->grantedMinutes, 15);
    EXPECT_EQ(state().policy, makePolicy()); // stored before the answer

    server.reply("POST", path, 200, R"({"id":"r2","status":"tu_duyet",)" + granted + "}");
    req = op("request");
    req.kind = "doi_diem";
    req.minutes = 20;
    EXPECT_EQ(ask(req).result->id, "r2");
    EXPECT_EQ(server.requests().at(asked + 4).json(),
              (json{{"kind", "doi_diem"}, {"minutes", 20}}));
    EXPECT_EQ(server.requests().back().path, syncPath);
}

TEST_F(DaemonTest, OnlyRootAndTheChildAccountAreServed) {
    const auto child = uidOf("nobody");
    const auto other = uidOf("daemon");
    if (!child || !other) GTEST_SKIP() << "needs the accounts nobody and daemon";
    auto& d = paired();
    EXPECT_EQ(ask(op("policy"), *other), notManaged);
    EXPECT_EQ(ask(op("policy"), Ipc::unknownUid), notManaged);
    EXPECT_EQ(d.trangThai()["helperAlive"], false); // refused callers do not count as the agent
    EXPECT_TRUE(ask(op("policy"), *child).ok);
    EXPECT_EQ(d.trangThai()["helperAlive"], true);
    EXPECT_EQ(json(ask(op("policy"), 0)), json::parse(R"({"ok":true,"online":false})"));
}

TEST_F(DaemonTest, UnpairedDaemonAnswersOnlyTrustedCallersWithThePairingError) {
    const auto child = uidOf("nobody");
    if (!child) GTEST_SKIP() << "needs the account nobody";
    auto& d = start(std::nullopt);
    EXPECT_EQ(ask(op("policy"), 0), unpaired);
    EXPECT_EQ(ask(op("policy"), *child), notManaged);
    EXPECT_EQ(d.dongBo(), 30);
    EXPECT_EQ(d.trangThai(), json::object());
    EXPECT_TRUE(server.requests().empty());
    start(std::nullopt, {}, true);
    EXPECT_EQ(ask(op("policy"), Ipc::unknownUid), unpaired);
}

TEST_F(DaemonTest, StatusReportsAStoppedAgentAndAnAdministratorChild) {
    auto& d = paired();
    const auto status = [](bool safe, bool alive, bool admin, std::string reason) {
        json s{{"protected", safe}, {"helperAlive", alive}, {"childIsAdmin", admin}};
        s["childUser"] = "nobody";
        if (!reason.empty()) s["reason"] = reason;
        return s;
    };
    EXPECT_EQ(d.trangThai(), status(false, false, false, agentDown)); // never seen
    ask(op("policy"));
    clock.advance(119s);
    EXPECT_EQ(d.trangThai(), status(true, true, false, ""));
    clock.advance(1s);
    EXPECT_EQ(d.trangThai(), status(false, false, false, agentDown));
    childIsAdmin = true;
    ask(op("policy"));
    EXPECT_EQ(d.trangThai(), status(false, true, true,
                                    "Tài khoản nobody đang là quản trị — con tắt được "
                                    "TovuControl. Đổi sang tài khoản thường."));
}

TEST_F(DaemonTest, ConfigIsReadAgainOnlyWhileUnpaired) {
    auto other = config();
    other.childUser = "daemon";
    FileIO::write(other, dir.file("config.json"));
    paired().docLaiCfg();
    EXPECT_EQ(daemon->cauHinh(), config());
    start(std::nullopt).docLaiCfg();
    EXPECT_EQ(daemon->cauHinh(), other);
}
