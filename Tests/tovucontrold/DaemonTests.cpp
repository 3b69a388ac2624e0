#include "Daemon.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Json.hpp"
#include "support/DaemonFixtures.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <atomic>
#include <filesystem>
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
const std::string requestsPath = "/api/device/requests";
const auto notManaged = IpcResponse::failure("Không phải tài khoản được quản lý");
const auto unpaired = IpcResponse::failure("Máy chưa ghép với bố mẹ");
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

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

// An installed app whose name is 200 characters but 800 bytes.
const std::string emojiName = repeat("🎮", 200);

Policy withMinutes(std::int64_t left) {
    auto p = makePolicy();
    p.minutesLeft = left;
    return p;
}

class DaemonTest : public ::testing::Test {
protected:
    ScopedEnv tz{"TZ", "Asia/Ho_Chi_Minh"}; // 12:00 local at the clock's start
    TempDir dir;
    FakeServer server;
    ManualClock clock{utcTime(2026, 3, 10, 5, 0, 7)};
    std::atomic<bool> childIsAdmin{false};
    std::function<void(const DaemonState&)> saver; // empty: the real file
    std::string lockUser;
    TempDir apps;
    // The apps running in the child's session, by default all that are installed.
    std::set<std::string> running{"a", "b", "hoc", "/home/bin/game"};
    static inline std::set<std::int32_t> agents{getpid()};
    std::mutex logMutex;
    std::vector<std::string> lines;
    std::unique_ptr<Daemon> daemon;

    AgentConfig config() const { return {server.url(), "tok", "dev-1", "Bin", "nobody"}; }

    // Installed apps of the test's own; the test process stands in for the agent.
    Daemon& start(std::optional<AgentConfig> cfg, DaemonState st = {}, bool dev = false) {
        for (const auto& [id, name] : {std::pair<std::string, std::string>{"a", "A"},
                                       {"b", "B"},
                                       {"hoc", "Học"},
                                       {"e", emojiName}})
            writeFile(apps.path() / "applications" / (id + ".desktop"),
                      "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=/usr/bin/" + id +
                          "\n");
        Daemon::Options options;
        options.configPath = dir.file("config.json");
        options.statePath = dir.file("state.json");
        options.logSink = [this](std::string_view line) {
            std::lock_guard g(logMutex);
            lines.emplace_back(line);
        };
        options.isAdmin = [this](const std::string&) { return childIsAdmin.load(); };
        options.saveState = saver;
        options.lockUser = lockUser;
        options.appDirs = {apps.path().string()};
        options.isAgent = [](const Ipc::Peer& peer) { return agents.contains(peer.pid); };
        options.runningApps = [this](std::uint32_t, const std::string&) { return running; };
        daemon.reset();
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
    DaemonState state() { return daemon->snapshot(); }
    // From root, by default in the agent's process.
    IpcResponse ask(const IpcRequest& r, std::uint32_t uid = 0, std::int32_t pid = getpid()) {
        return daemon->xuLy(r, {uid, pid, 0});
    }
};

} // namespace

TEST_F(DaemonTest, SyncSendsStatusAndUsageClampsTheDelayAndStoresTodaysTotal) {
    const std::vector<UsageEntry> entries{on(day(-1), 500), on(day(), 30), on(day(), 10, "b")};
    auto& d = paired({{}, {}, 0, entries});
    for (auto [next, delay] :
         std::vector<std::pair<int, int>>{{0, 10}, {-5, 10}, {5, 10}, {60, 60}, {3600, 300}}) {
        server.reply("POST", syncPath, 200, Json::encode(makePolicy(next)));
        EXPECT_EQ(d.sync().dongBo(), delay) << next;
    }
    const auto body = server.requests().at(0).json();
    EXPECT_EQ(body["status"], d.trangThai());
    EXPECT_EQ(body["usage"], json(entries));
    EXPECT_EQ(body["apps"], json::array());
    EXPECT_EQ(state(), fetched(makePolicy(3600), 40, entries));
    EXPECT_EQ(saved(), state());
    EXPECT_EQ(ask(op("policy")).online, true);
    EXPECT_TRUE(logged().empty());
}

// The daemon counts the minutes; the agent's reports only name them, after apps that run in its
// session, under the names the system gives them. What they leave unnamed stays booked as such.
TEST_F(DaemonTest, ReportsNameCountedMinutesAndNeverAddAny) {
    const auto unnamed = [](std::string day, std::int64_t minutes) {
        return on(std::move(day), minutes, UsageBook::khongRoId, UsageBook::khongRoTen);
    };
    const std::string own = "Chương trình con tự chạy: /home/bin/game";
    // 400 bytes; 400 characters but 1,180 bytes.
    const std::string longId = "/home/bin/" + std::string(390, 'x');
    const std::string wideId = "/home/bin/" + repeat("ộ", 390);
    running.insert({longId, wideId, "e"});
    const auto clipped = [](const std::string& name) {
        return Contract::clip(name, Contract::Text::appName);
    };
    struct Case {
        const char* what;
        std::vector<UsageEntry> stored;
        std::int64_t counted; // the daemon's minutes of today
        std::vector<UsageEntry> sent, kept;
    };
    const std::vector<Case> cases{
        {"larger minutes win, out of the unnamed ones, under the system's name",
         {on(day(), 12, "a", "A cũ")},
         20,
         {on(day(), 10, "a", "Từ điển"), on(day(), 15, "a", "Từ điển"), on(day(), 2, "b", "")},
         {on(day(), 15, "a", "A"), unnamed(day(), 3), on(day(), 2, "b", "B")}},
        {"a report names no more than was counted, and never the unnamed minutes themselves",
         {},
         5,
         {on(day(), 240, "hoc"), on(day(), 9, UsageBook::khongRoId), on(day(), 1, "b")},
         {unnamed(day(), 0), on(day(), 5, "hoc", "Học")}},
        {"the oldest of four days goes",
         {on(day(-3), 5), on(day(-2), 5), on(day(-1), 5)},
         3,
         {on(day(), 0), on(day(), 3, "b")},
         {on(day(-2), 5), on(day(-1), 5), unnamed(day(), 0), on(day(), 3, "b", "B")}},
        {"only what runs, is installed or is the child's own program is named",
         {},
         6,
         {on(day(), 1, "org.fake.dictionary", "Từ điển Anh-Việt"), on(day(), 1, "/home/bin/game"),
          on(day(), 1, "/home/bin/other"), on(day(), -5, "a"), on(day(), 0, "b"),
          on("2026-02-30", 1, "a"), on(day(), 1, "a\nb")},
         {unnamed(day(), 5), on(day(), 1, "/home/bin/game", own)}},
        {"ids as long as the server takes them, names clipped to what it takes",
         {},
         3,
         {on(day(), 1, longId), on(day(), 1, wideId), on(day(), 1, "e")},
         {unnamed(day(), 1), on(day(), 1, longId, clipped("Chương trình con tự chạy: " + longId)),
          on(day(), 1, "e", clipped(emojiName))}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto& d = paired({{}, {}, 0, c.stored});
        d.demPhut(day(), c.counted);
        EXPECT_TRUE(ask(usage(c.sent)).ok);
        EXPECT_EQ(state().usage, c.kept);
        EXPECT_EQ(saved()->usage, c.kept);
    }
    // The counted minutes go out with the unnamed ones the agent never named; a day's count
    // never goes down; an app that stopped running gets no more.
    auto& d = paired();
    d.demPhut(day(), 7);
    d.demPhut(day(), 6);
    ask(usage({on(day(), 2, "a")}));
    running.erase("a");
    ask(usage({on(day(), 4, "a")}));
    EXPECT_EQ(ask(op("usageToday")).entries,
              (std::vector{unnamed(day(), 5), on(day(), 2, "a", "A")}));
    // Only the agent names minutes.
    EXPECT_EQ(ask(usage({on(day(), 3, "b")}), 0, 1),
              IpcResponse::failure("Chỉ TovuControl trong phiên của con báo giờ dùng"));
    // Stored entries are held at start to what their day could really have had.
    paired({{}, {}, 0, {on(day(), Minutes::max()), on(day(), 0, "b"), on(day(1), 1, "c")}});
    EXPECT_EQ(state().usage, std::vector{on(day(), 721)});
}

// The shell's word on the app in front names the minutes counted while it holds; the desktop,
// a stranger's program or an old word names none.
TEST_F(DaemonTest, MinutesCountedGoToTheAppTheShellSaysIsInFront) {
    const auto child = uidOf("nobody");
    if (getuid() != 0 || !child) GTEST_SKIP() << "needs root and the account nobody";
    auto& d = paired();
    Child game({"sleep", "60"}, "", *child), stranger({"sleep", "60"}, "");
    ASSERT_TRUE(waitForExec(game.pid(), "sleep") && waitForExec(stranger.pid(), "sleep"));
    const auto front = [&](std::int64_t pid, std::int32_t caller = getpid()) {
        auto r = op("front");
        r.pid = pid;
        return ask(r, 0, caller);
    };
    const std::string sleep = std::filesystem::canonical("/usr/bin/sleep").string();
    const UsageEntry named{day(), sleep, "Chương trình con tự chạy: " + sleep, 0};
    const auto unnamed = [&](std::int64_t minutes) {
        return on(day(), minutes, UsageBook::khongRoId, UsageBook::khongRoTen);
    };
    EXPECT_EQ(front(game.pid(), 1), // not the shell nor the agent
              IpcResponse::failure("Chỉ màn hình của con báo được ứng dụng đang mở"));
    EXPECT_TRUE(front(game.pid()).ok);
    d.demPhut(day(), 3);
    auto three = named;
    three.minutes = 3;
    EXPECT_EQ(state().usage, std::vector{three});
    clock.advance(UsageBook::truocMatCon);
    d.demPhut(day(), 4);
    EXPECT_EQ(state().usage, (std::vector{three, unnamed(1)}));
    for (const std::int64_t other : {std::int64_t{stranger.pid()}, std::int64_t{0}}) {
        EXPECT_EQ(front(other).ok, other != 0);
        d.demPhut(day(), 5 + (other == 0));
    }
    EXPECT_EQ(state().usage, (std::vector{three, unnamed(3)}));
}

// And what goes to the server stays within its cap on a body, every minute counted.
TEST_F(DaemonTest, ADayKeepsAtMostTwoHundredFiftySixAppsAndSaysSoOnce) {
    auto& d = paired();
    d.demPhut(day(), 700);
    const std::string folder = "/home/bin/" + std::string(400, 'x') + "/app";
    std::vector<UsageEntry> many;
    for (int i = 0; i < 300; ++i) {
        many.push_back(on(day(), 1, folder + std::to_string(i)));
        running.insert(many.back().appId);
    }
    ask(usage(many));
    ask(usage({on(day(), 1, "a"), on(day(), 2, folder + "0")}));
    const auto kept = state().usage;
    ASSERT_EQ(kept.size(), 256u); // the unnamed minutes and 255 apps
    const auto app = [&](int i, std::int64_t minutes) {
        const auto id = folder + std::to_string(i);
        return on(day(), minutes, id,
                  Contract::clip("Chương trình con tự chạy: " + id, Contract::Text::appName));
    };
    EXPECT_EQ(kept[1], app(0, 2));
    EXPECT_EQ(kept.back(), app(254, 1));
    EXPECT_EQ(logged(), std::vector<std::string>{"[2026-03-10T05:00:07Z] Ngày " + day() +
                                                 " đã có 256 ứng dụng, bỏ qua các ứng dụng mới\n"});

    server.reply("POST", syncPath, 200, Json::encode(makePolicy()));
    ASSERT_EQ(d.sync().dongBo(), 60);
    const auto sent = server.requests().back();
    EXPECT_LE(sent.body.size(), Contract::maxBodyBytes);
    const auto body = sent.json();
    std::int64_t minutes = 0;
    for (const auto& e : body["usage"])
        minutes += e["minutes"].get<std::int64_t>();
    EXPECT_EQ(minutes, 700);
}

// A failed pass keeps the policy and says why once. What the server refuses is dropped, never
// sent again: its minutes stay counted under no name, and the parents see it; anything else
// leaves the usage to go again. The next pass brings the parents' word all the same.
TEST_F(DaemonTest, FailedPassesKeepThePolicyAndNeverResendWhatWasRefused) {
    const auto unnamed = [&](std::int64_t minutes) {
        return on(day(), minutes, UsageBook::khongRoId, UsageBook::khongRoTen);
    };
    auto locked = makePolicy(10);
    locked.locked = true;
    auto dropping = json(locked);
    dropping["dropped"] = {{{"index", 2}, {"reason", "Giá trị appId quá dài."}}};
    const std::string refused = "Máy chủ không nhận ", lost = "Mất kết nối máy chủ: ";
    const std::vector<UsageEntry> all{unnamed(1), on(day(), 2, "a", "A"), on(day(), 3, "b", "B")};
    struct Case {
        Reply answer;
        int delay;
        std::string said; // the start of the one line logged
        bool online;
        std::vector<UsageEntry> kept; // and sent next
    };
    const std::vector<Case> cases{
        {{401, R"({"message":"sai"})"},
         120,
         "Máy đã bị gỡ khỏi gia đình hoặc token sai: 401: sai",
         false,
         all},
        {{404, R"({"message":"sai"})"}, 30, lost + "404: sai", false, all},
        {{200, "{}"}, 30, lost, false, all}, // not a policy
        {{200, dropping.dump()},
         10,
         refused + "1 mục giờ dùng: Giá trị appId quá dài.",
         true,
         {unnamed(4), on(day(), 2, "a", "A")}},
        {{400, R"({"message":"Giá trị appId quá dài."})"},
         0, // what is left may go at once
         refused + "lần đồng bộ: 400: Giá trị appId quá dài.",
         true,
         {unnamed(6)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        auto& d = paired(fetched(makePolicy(), 0, {}));
        d.demPhut(day(), 6);
        ask(usage({on(day(), 2, "a"), on(day(), 3, "b")}));
        lines.clear();
        server.reply("POST", syncPath, c.answer.status, c.answer.body);
        EXPECT_EQ(d.sync().dongBo(), c.delay);
        const auto r = ask(op("policy"));
        EXPECT_EQ(r.policy, c.answer.status == 200 && c.online ? locked : makePolicy());
        EXPECT_EQ(r.online, c.online);
        ask(usage({on(day(), 3, "b")})); // what was refused, named again: still not
        server.reply("POST", syncPath, 200, Json::encode(locked));
        EXPECT_EQ(d.sync().dongBo(), 10);
        EXPECT_EQ(state().usage, c.kept);
        EXPECT_EQ(server.requests().back().json()["usage"], json(c.kept));
        ASSERT_EQ(logged().size(), 1u);
        EXPECT_NE(logged()[0].find("] " + c.said), std::string::npos) << logged()[0];
        const auto status = d.trangThai();
        if (c.said.starts_with(refused))
            EXPECT_EQ(status["lastRefusal"],
                      "Lúc 12:00, máy chủ không nhận " + c.said.substr(refused.size()));
        else
            EXPECT_FALSE(status.contains("lastRefusal"));
    }
}

TEST_F(DaemonTest, StateIsWrittenOutsideTheLockAndTheNewestSaveLandsLast) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::mutex m;
    std::vector<DaemonState> writes;
    std::atomic<int> calls{0};
    saver = [&](const DaemonState& s) {
        if (calls++ == 0) released.wait_for(20s); // the first write hangs
        std::lock_guard g(m);
        writes.push_back(s);
    };
    auto& d = paired();
    auto first = std::async(std::launch::async, [&] { d.demPhut(day(), 5); });
    ASSERT_TRUE(waitUntil([&] { return calls == 1; }));
    auto second = std::async(std::launch::async, [&] { return ask(usage({on(day(), 2, "b")})); });
    EXPECT_TRUE(waitUntil([&] { return state().usage.size() == 2; }));
    release.set_value();
    first.get();
    EXPECT_TRUE(second.get().ok);
    EXPECT_EQ(writes.back(), state());
}

// The server holds the computer's wait until the parents act, and refuses a sync holding
// anything it does not take. The parents' lock arrives with the wake-up, long before the next
// planned sync, whatever the agent named.
TEST_F(DaemonTest, TheParentsLockArrivesWithTheWakeUpWhateverTheAgentNamed) {
    std::mutex m;
    std::condition_variable cv;
    bool parentsLocked = false, done = false;
    std::vector<std::string> waits, revisions; // what the waits and syncs said the computer had
    const auto answer = [&] {
        auto p = makePolicy(300);
        p.locked = parentsLocked;
        auto j = json(p);
        j["revision"] = parentsLocked ? 2 : 1;
        return j;
    };
    server.handle("POST", syncPath, [&](const Recorded& r) {
        const auto body = r.json();
        for (const auto& e : body["usage"])
            if (!Contract::fits(e["appId"].get<std::string>(), Contract::Text::appId) ||
                !Contract::fits(e["appName"].get<std::string>(), Contract::Text::appName))
                return Reply{400, R"({"message":"Giá trị quá dài."})"};
        std::lock_guard g(m);
        revisions.push_back(body.value("revision", json()).dump());
        return Reply{200, answer().dump()};
    });
    server.handle("GET", "/api/device/wait", [&](const Recorded& r) {
        std::unique_lock g(m);
        waits.push_back(r.query);
        cv.notify_all();
        const bool behind = r.query == "revision=1";
        cv.wait_for(g, 30s, [&] { return (parentsLocked && behind) || done; });
        return Reply{
            200,
            json{{"changed", parentsLocked && behind}, {"revision", answer()["revision"]}}.dump()};
    });
    auto& d = paired();
    const std::string longId = "/home/bin/" + std::string(390, 'x'); // 400 bytes
    running.insert({longId, "e"});
    d.demPhut(day(), 3);
    ask(usage({on(day(), 1, longId), on(day(), 1, "e")}));
    d.sync().batDau();
    {
        std::unique_lock g(m);
        ASSERT_TRUE(cv.wait_for(g, 10s, [&] { return !waits.empty(); }));
        EXPECT_EQ(waits[0], "revision=1");
        parentsLocked = true;
    }
    cv.notify_all();
    EXPECT_TRUE(waitUntil([&] { return ask(op("policy")).policy->locked; }));
    {
        std::lock_guard g(m);
        EXPECT_EQ(revisions, (std::vector<std::string>{"null", "1"}));
        done = true;
    }
    cv.notify_all();
    daemon.reset();
}

// The server answers every sync only once released: a caller who waited for it would hang.
TEST_F(DaemonTest, GrantsAreAnsweredAtOnceAndSyncedBehindOnePassAtATime) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> syncs{0};
    auto granted = withMinutes(60);
    granted.grantEndsAt = "2026-03-10T06:00:00Z";
    server.handle("POST", syncPath, [&](const Recorded&) {
        ++syncs;
        released.wait_for(20s);
        return Reply{200, Json::encode(granted)};
    });
    const std::string grant = R"("grantEndsAt":"2026-03-10T06:00:00Z")";
    server.reply("POST", requestsPath, 200, R"({"id":"r","status":"tu_duyet",)" + grant + "}");
    server.reply("GET", requestsPath + "/r", 200, R"({"status":"duoc",)" + grant + "}");
    paired(fetched(withMinutes(10), 0, {}));

    EXPECT_EQ(ask(op("request")).result->id, "r");
    EXPECT_EQ(state().policy, withMinutes(10)); // answered before its sync
    ASSERT_TRUE(waitUntil([&] { return syncs == 1; }));
    auto follow = op("requestState");
    follow.id = "r";
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ask(follow).state->status, "duoc");
    daemon->demPhut(day(), 15);
    EXPECT_TRUE(ask(usage({})).policy->locked); // the minutes ran out here
    EXPECT_EQ(syncs, 1);
    release.set_value();
    EXPECT_TRUE(waitUntil([&] { return state().policy == granted; }));
    daemon.reset();      // waits for the passes
    EXPECT_EQ(syncs, 2); // what came meanwhile costs one more pass, not one each
}

TEST_F(DaemonTest, RequestsAreCheckedThenForwardedWithDefaults) {
    paired();
    // Error answers carry only the text; no route yet: the fake server answers 404.
    EXPECT_EQ(ask(op("Policy")), IpcResponse::failure("Không hiểu yêu cầu Policy"));
    EXPECT_EQ(ask(op("request")), IpcResponse::failure("Chưa gửi được — máy đang mất mạng"));
    EXPECT_EQ(ask(op("requestState")), IpcResponse::failure("Mất mạng"));
    EXPECT_EQ(server.requests().back().path, requestsPath + "/");
    EXPECT_TRUE(logged().empty());
    server.reply("POST", requestsPath, 200, R"({"id":"r1","status":"cho"})");
    server.reply("GET", requestsPath + "/g", 200, R"({"status":"cho","grantedMinutes":15})");
    auto follow = op("requestState");
    follow.id = "g";
    EXPECT_EQ(ask(follow).state, (RequestState{"cho", 15, std::nullopt}));

    const std::string note500 = std::string(499, 'n') + "ở";
    struct Case {
        std::optional<std::string> kind;
        std::optional<std::int64_t> minutes;
        std::optional<std::string> appId, appName, note;
        json sent; // the body sent, or the error text answered
    };
    const std::vector<Case> cases{
        {{}, {}, {}, {}, {}, json{{"kind", "them_gio"}, {"minutes", 30}}},
        {"them_gio", 1440, "a", "Máy tính – bài tập toán", "Con\u2067 xin\nạ\x01", // cleaned
         json{{"kind", "them_gio"},
              {"minutes", 1440},
              {"appId", "a"},
              {"appName", "A"}, // the system's name, not the caller's
              {"note", "Con xin ạ"}}},
        {"them_gio",
         5,
         "/home/bin/game",
         {},
         {},
         json{{"kind", "them_gio"},
              {"minutes", 5},
              {"appId", "/home/bin/game"},
              {"appName", "Chương trình con tự chạy: /home/bin/game"}}},
        {"doi_diem", 1, {}, {}, note500, json{{"kind", "doi_diem"}, {"minutes", 1}}},
        {"free_time_forever", 30, {}, {}, {}, "Loại yêu cầu không hợp lệ"},
        {"them_gio", 0, {}, {}, {}, "Số phút phải từ 1 đến 1440"},
        {"them_gio", 1441, {}, {}, {}, "Số phút phải từ 1 đến 1440"},
        {{}, {}, "", {}, {}, "Ứng dụng không hợp lệ"},
        {{}, {}, "org.fake.calculator", {}, {}, "Ứng dụng không hợp lệ"}, // not installed
        {{}, {}, "/home/bin/other", {}, {}, "Ứng dụng không hợp lệ"},     // not running
        {{}, {}, {}, {}, note500 + "!", "Lời nhắn dài quá (tối đa 500 ký tự)"},
    };
    for (const auto& c : cases) {
        const auto before = server.requests().size();
        auto r = op("request");
        std::tie(r.kind, r.minutes, r.appId, r.appName, r.note) =
            std::tie(c.kind, c.minutes, c.appId, c.appName, c.note);
        const auto answer = ask(r);
        if (c.sent.is_object()) {
            EXPECT_EQ(answer.result, (RequestResult{"r1", "cho", std::nullopt}));
            EXPECT_EQ(server.requests().back().json(), c.sent);
        } else {
            EXPECT_EQ(answer, IpcResponse::failure(c.sent));
            EXPECT_EQ(server.requests().size(), before);
        }
    }
    EXPECT_EQ(server.requests().back().path, requestsPath); // no sync without a grant
}

// The parents hear each wish once, and at most ten an hour; one agent holds a session.
TEST_F(DaemonTest, RequestsWithinReasonAndOneAgentPerSession) {
    paired();
    std::atomic<int> posted{0};
    server.handle("POST", requestsPath, [&](const Recorded&) {
        return Reply{200, R"({"id":"r)" + std::to_string(++posted) + R"(","status":"cho"})"};
    });
    server.reply("GET", requestsPath + "/r1", 200, R"({"status":"tu_choi"})");
    auto game = op("request");
    game.appId = "/home/bin/game";
    for (int i = 0; i < 3; ++i) // asked again while it waits: the same request
        EXPECT_EQ(ask(game).result->id, "r1");
    auto follow = op("requestState");
    follow.id = "r1";
    EXPECT_EQ(ask(follow).state->status, "tu_choi");
    EXPECT_EQ(ask(game).result->id, "r2"); // answered: it may be asked again
    for (int minutes = 1; minutes <= 8; ++minutes) {
        auto more = op("request");
        more.appId = "a";
        more.kind = minutes % 2 ? "them_gio" : "doi_diem";
        more.minutes = minutes;
        ask(more);
        server.reply("GET", requestsPath + "/r" + std::to_string(posted), 200,
                     R"({"status":"duoc"})");
        follow.id = "r" + std::to_string(posted.load());
        ask(follow);
    }
    EXPECT_EQ(posted, 10);
    EXPECT_EQ(ask(op("request")),
              IpcResponse::failure("Con đã xin 10 lần trong một giờ qua — chờ một lát rồi xin "
                                   "lại nhé."));
    clock.advance(1h);
    EXPECT_EQ(ask(op("request")).result->id, "r11");

    // A second agent of the same session is turned away while the first lives.
    Child other({"sleep", "60"}, "");
    agents.insert(other.pid());
    const auto second = [&] { return ask(op("policy"), 0, other.pid()); };
    EXPECT_EQ(second(), IpcResponse::failure(std::string(Ipc::daCoAgent)));
    agents.erase(getpid());
    start(config()); // a new daemon: the first to call holds the session
    EXPECT_TRUE(second().ok);
    agents.insert(getpid());
    EXPECT_EQ(ask(op("policy")), IpcResponse::failure(std::string(Ipc::daCoAgent)));
    kill(other.pid(), SIGKILL);
    EXPECT_TRUE(waitUntil([&] { return other.exited().has_value(); }));
    EXPECT_TRUE(ask(op("policy")).ok);
    agents = {getpid()};
}

TEST_F(DaemonTest, OnlyRootTheChildAndTheLockScreenAreServedAndOnlyTheAgentKeepsItAlive) {
    const auto child = uidOf("nobody");
    const auto lockScreen = uidOf("daemon");
    if (!child || !lockScreen) GTEST_SKIP() << "needs the accounts nobody and daemon";
    lockUser = "daemon";
    auto& d = paired();
    EXPECT_EQ(ask(op("policy"), Ipc::unknownUid), notManaged);
    // Only the lock screen brings up the login screen: the child has one already.
    int shown = 0;
    Daemon::Hooks hooks;
    hooks.dangNhapKhac = [&]() -> std::optional<std::string> {
        return ++shown == 1 ? std::nullopt : std::optional<std::string>("chưa được");
    };
    d.setHooks(hooks);
    EXPECT_TRUE(ask(op("greeter"), *lockScreen, 0).ok);
    EXPECT_EQ(ask(op("greeter"), *lockScreen, 0), IpcResponse::failure("chưa được"));
    EXPECT_FALSE(ask(op("greeter"), *child, 0).ok);
    EXPECT_EQ(shown, 2);
    EXPECT_TRUE(ask(op("policy"), *lockScreen, 0).ok);
    EXPECT_EQ(json(ask(op("policy"), 0, 0)), json::parse(R"({"ok":true,"online":false})"));
    EXPECT_TRUE(ask(op("policy"), *child, 0).ok);
    EXPECT_EQ(d.trangThai()["helperAlive"], false); // served, but not the agent's process
    EXPECT_TRUE(ask(op("policy"), *child).ok);
    EXPECT_EQ(d.trangThai()["helperAlive"], true);

    start(std::nullopt);
    EXPECT_EQ(ask(op("policy")), unpaired);
    EXPECT_EQ(ask(op("policy"), *child), notManaged);
    EXPECT_EQ(daemon->sync().dongBo(), 30);
    start(std::nullopt, {}, true);
    EXPECT_EQ(ask(op("policy"), Ipc::unknownUid), unpaired);
}

// The administrator first, then whatever stops the daemon locking or enforcing; a missing agent
// only takes the countdown off the screen.
TEST_F(DaemonTest, StatusReportsTheWeightiestReasonProtectionFails) {
    const std::string admin = "Tài khoản nobody đang là quản trị — con tắt được TovuControl. Đổi "
                              "sang tài khoản thường.";
    struct Case {
        std::optional<std::chrono::seconds> sinceCall; // absent: the agent never called
        bool admin;
        std::optional<std::string> session; // why the daemon cannot hold a session
        bool alive;
        std::string reason; // empty: protected
    };
    const std::vector<Case> cases{
        {{}, false, {}, false, ""},          {119s, false, {}, true, ""},
        {120s, false, {}, false, ""},        {0s, true, "phiên", true, admin},
        {0s, false, "phiên", true, "phiên"}, {120s, false, "phiên", false, "phiên"},
    };
    for (const auto& c : cases) {
        auto& d = paired();
        childIsAdmin = c.admin;
        Daemon::Hooks hooks;
        hooks.phienLoi = [&] { return c.session; };
        d.setHooks(hooks);
        if (c.sinceCall) {
            ask(op("policy"));
            clock.advance(*c.sinceCall);
        }
        json status{{"protected", c.reason.empty()},
                    {"helperAlive", c.alive},
                    {"childIsAdmin", c.admin},
                    {"childUser", "nobody"}};
        if (!c.reason.empty()) status["reason"] = c.reason;
        EXPECT_EQ(d.trangThai(), status) << c.reason;
    }
}
