// The whole system on a real X server with several monitors: the built daemon in trial mode
// against a fake parents' server, and the built agent, watched from outside through the X
// server, the daemon's socket and the requests that reach the server.
#include "TovuCore/Json.hpp"
#include "support/FakeLogind.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"
#include "support/TrialSystem.hpp"
#include "support/XView.hpp"
#include "support/XorgServer.hpp"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tovu;
using namespace tovu::test;
using namespace std::chrono_literals;

namespace {

const std::string requestsPath = "/api/device/requests";

// cond asked at most once a second, when each question costs a round trip through the daemon.
std::function<bool()> everySecond(std::function<bool()> cond) {
    return [cond = std::move(cond), last = std::chrono::steady_clock::time_point{}]() mutable {
        const auto now = std::chrono::steady_clock::now();
        if (now - last < 1s) return false;
        last = now;
        return cond();
    };
}

// Waits until the app has ended; the wait status is then in app.exited().
bool dies(Child& app, std::chrono::milliseconds deadline = 10s) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, app.pid(), 0));
    pollfd ready{pidfd, POLLIN, 0};
    const bool died = pidfd >= 0 && poll(&ready, 1, static_cast<int>(deadline.count())) == 1;
    if (pidfd >= 0) close(pidfd);
    return died && waitUntil([&] { return app.exited().has_value(); });
}

bool killed(Child& app) {
    auto status = app.exited();
    return status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL;
}

// One Xorg with openbox serves every test of the program; each test gets its own fake server,
// daemon and agent, and finds two monitors side by side.
class AgentEndToEndTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            auto xorg = std::make_unique<XorgServer>(1280, 800);
            xorg->startWindowManager();
            xorg_ = std::move(xorg);
        } catch (const XorgUnavailable& e) {
            unavailable_ = e.what();
        } catch (const std::exception& e) {
            broken_ = e.what();
        }
    }
    static void TearDownTestSuite() { xorg_.reset(); }

    void SetUp() override {
        if (!broken_.empty()) FAIL() << broken_;
        if (!xorg_) GTEST_SKIP() << "no Xorg with the dummy driver: " << unavailable_;
        xorg_->unplug("DUMMY2");
        xorg_->plug("DUMMY1", 1024, 768, "DUMMY0");
        x_.emplace(xorg_->display());
    }

    void start(const Policy& p) {
        system_.emplace(TrialSystem::Programs{TOVUCONTROLD_PATH, TOVU_HELPER_EXE}, server_, p,
                        xorg_->display());
    }
    pid_t agent() { return system_->agent().pid(); }
    Child app(const std::string& program) { return Child({program}, xorg_->display()); }
    // Waits until the app shows a window that the window manager manages.
    bool shown(Child& app) {
        return waitUntil([&] { return !x_->managedTitles(app.pid()).empty(); });
    }

    std::vector<Area> monitorAreas() {
        std::vector<Area> areas;
        for (const auto& m : xorg_->monitors())
            areas.push_back(m.area);
        std::ranges::sort(areas);
        return areas;
    }
    // Waits until the agent shows one lock window over each monitor, exactly.
    bool locksCoverMonitors() {
        return waitUntil([&] { return x_->overlays(agent()) == monitorAreas(); }, 30s);
    }
    int panels() {
        return static_cast<int>(std::ranges::count(x_->managedTitles(agent()), "TovuControl"));
    }
    std::vector<Recorded> requestsTo(const std::string& method, const std::string& path) {
        std::vector<Recorded> found;
        for (auto& r : server_.requests())
            if (r.method == method && r.path == path) found.push_back(r);
        return found;
    }

    static inline std::unique_ptr<XorgServer> xorg_;
    static inline std::string unavailable_;
    static inline std::string broken_;
    FakeServer server_;
    std::optional<XView> x_;
    std::optional<TrialSystem> system_;
};

TEST_F(AgentEndToEndTest, LockCoversEveryMonitorAsTheyComeAndGoAndKillsAppsWithoutAPanel) {
    start(trialPolicy(true, "tu_do"));
    ASSERT_EQ(monitorAreas().size(), 2u);
    ASSERT_TRUE(locksCoverMonitors())
        << "monitors " << testing::PrintToString(monitorAreas()) << ", lock windows "
        << testing::PrintToString(x_->overlays(agent()));

    xorg_->plug("DUMMY2", 1280, 1024, "DUMMY1");
    ASSERT_EQ(monitorAreas().size(), 3u);
    EXPECT_TRUE(locksCoverMonitors()) << testing::PrintToString(x_->overlays(agent()));
    xorg_->unplug("DUMMY2");
    ASSERT_EQ(monitorAreas().size(), 2u);
    EXPECT_TRUE(locksCoverMonitors()) << testing::PrintToString(x_->overlays(agent()));

    Child xlogo = app("xlogo");
    ASSERT_TRUE(dies(xlogo)) << "xlogo survived the lock";
    EXPECT_TRUE(killed(xlogo));
    EXPECT_EQ(panels(), 0);
}

TEST_F(AgentEndToEndTest, AnAppStartedAgainWhileTheAgentIsBusyIsKilledToo) {
    start(trialPolicy(true, "tu_do"));
    ASSERT_TRUE(locksCoverMonitors());
    Child first = app("xlogo");
    ASSERT_TRUE(dies(first));
    // Busy before it hears that the window went, while X hands the freed client slot, and so
    // the same window ids, to the next xlogo.
    kill(agent(), SIGSTOP);
    const bool gone = waitUntil([&] { return x_->clients().empty(); });
    Child second = app("xlogo");
    const bool seen = gone && shown(second);
    kill(agent(), SIGCONT);
    ASSERT_TRUE(seen);
    EXPECT_TRUE(dies(second)) << "the second xlogo survived";
}

TEST_F(AgentEndToEndTest, ReturnOnTheLockScreenAsksForAnHourAndTheGrantLiftsTheLock) {
    server_.reply("POST", requestsPath, 200, R"({"id":"r-1","status":"cho"})");
    server_.reply("GET", requestsPath + "/r-1", 200, R"({"status":"cho"})");
    start(trialPolicy(true, "tu_do"));
    ASSERT_TRUE(locksCoverMonitors());
    ASSERT_TRUE(waitUntil([&] { return x_->keyboardGrabbed(); })) << "the lock holds no keyboard";

    ASSERT_TRUE(run({"xdotool", "key", "Return"}, xorg_->display()));
    ASSERT_TRUE(waitUntil([&] { return !requestsTo("POST", requestsPath).empty(); }))
        << system_->daemon().log();
    const auto sent = requestsTo("POST", requestsPath).front().json();
    EXPECT_EQ(sent["kind"], "them_gio");
    EXPECT_EQ(sent["minutes"], 60);
    EXPECT_FALSE(sent.contains("appId"));
    // The agent follows the waiting request on its ticks.
    ASSERT_TRUE(waitUntil([&] { return !requestsTo("GET", requestsPath + "/r-1").empty(); }, 20s));
    EXPECT_FALSE(x_->overlays(agent()).empty());

    const std::string end = isoTime(std::chrono::system_clock::now() + 1h);
    Policy granted = trialPolicy(false, "tu_do");
    granted.grantEndsAt = end;
    server_.reply("POST", "/api/device/sync", 200, Json::encode(granted));
    server_.reply("GET", requestsPath + "/r-1", 200,
                  R"({"status":"duoc","grantedMinutes":60,"grantEndsAt":")" + end + "\"}");
    EXPECT_TRUE(waitUntil([&] { return x_->overlays(agent()).empty(); }, 20s))
        << system_->daemon().log();
    EXPECT_TRUE(waitUntil([&] { return !x_->keyboardGrabbed(); }));
}

TEST_F(AgentEndToEndTest, LearningModeKillsOtherAppsAndShowsWhyOnlyForTheLaunchedOnes) {
    // Running before the agent has a policy: met by its first sweep, which shows nothing.
    Child xclock = app("xclock");
    Child xeyes = app("xeyes");
    ASSERT_TRUE(shown(xclock));
    ASSERT_TRUE(shown(xeyes));
    start(trialPolicy(false, "hoc", {"XClock"}));
    ASSERT_TRUE(dies(xeyes, 30s)) << "xeyes survived the agent's start";
    EXPECT_TRUE(killed(xeyes));
    EXPECT_EQ(panels(), 0);

    Child xlogo = app("xlogo");
    ASSERT_TRUE(dies(xlogo));
    EXPECT_TRUE(killed(xlogo));
    EXPECT_TRUE(waitUntil([&] { return panels() == 1; }))
        << testing::PrintToString(x_->managedTitles(agent()));
    EXPECT_FALSE(xclock.exited().has_value());
    EXPECT_TRUE(x_->overlays(agent()).empty());
}

TEST_F(AgentEndToEndTest, MinutesOfTheAppInFrontReachTheDaemonAndTheServer) {
    Child xclock = app("xclock");
    ASSERT_TRUE(shown(xclock));
    // openbox on the dummy server hands the focus around on its own now and then (it obeys only
    // windowfocus): keep xclock in front as a child would, by focusing it again when it lost it.
    const std::string window = std::to_string(x_->managed(xclock.pid()).at(0));
    auto keepInFront = [&] {
        if (x_->activePid() != xclock.pid())
            run({"xdotool", "windowfocus", window}, xorg_->display());
        return x_->activePid() == xclock.pid();
    };
    ASSERT_TRUE(waitUntil(keepInFront));
    start(trialPolicy(false, "tu_do"));

    // Reported every 30 s: the first whole minute comes with the second or third report.
    auto counted = [&] {
        keepInFront();
        const auto today = system_->ask("usageToday").entries.value_or(std::vector<UsageEntry>{});
        return std::ranges::any_of(today, [](const UsageEntry& e) {
            return e.appId == "XClock" && e.appName == "XClock" && e.minutes >= 1;
        });
    };
    ASSERT_TRUE(waitUntil(everySecond(counted), 180s))
        << "in front: " << x_->activePid().value_or(0) << ", xclock: " << xclock.pid() << "\n"
        << system_->daemon().log();
    EXPECT_FALSE(xclock.exited().has_value());

    const std::size_t before = server_.requests().size();
    auto reported = [&] {
        const auto all = server_.requests();
        return std::any_of(
            all.begin() + static_cast<std::ptrdiff_t>(before), all.end(), [](const Recorded& r) {
                if (r.path != "/api/device/sync") return false;
                const auto usage = r.json().value("usage", nlohmann::json::array());
                for (const auto& e : usage)
                    if (e.value("appId", "") == "XClock" && e.value("minutes", 0) >= 1) return true;
                return false;
            });
    };
    EXPECT_TRUE(waitUntil(reported, 30s));
}

} // namespace

TEST_F(AgentEndToEndTest, TheDaemonLeavesTheSessionToALiveAgentAndLocksItOnceTheAgentIsGone) {
    SystemBus bus;
    FakeLogind logind(bus);
    LoginSession session;
    session.id = "c1";
    session.type = "x11";
    session.klass = "user";
    session.state = "online";
    session.seat = "seat0";
    session.display = xorg_->display();
    logind.add(session);
    ScopedEnv id("XDG_SESSION_ID", "c1");
    system_.emplace(TrialSystem::Programs{TOVUCONTROLD_PATH, TOVU_HELPER_EXE}, server_,
                    trialPolicy(true, "tu_do"), xorg_->display(),
                    std::map<std::string, std::string>{
                        {"TOVUC_AGENT", std::filesystem::canonical(TOVU_HELPER_EXE).string()},
                        {"TOVUC_LOCK_GRACE", "2"}});
    auto& daemon = system_->daemon();
    ASSERT_TRUE(daemon.waitForLog("TovuControl đang trông phiên c1", 30s)) << daemon.log();
    logind.change("c1", [](LoginSession& s) {
        s.state = "active";
        s.active = true;
    });
    // Three syncs later, over 15 s, the agent's ticks still hold the session.
    const auto syncs = requestsTo("POST", "/api/device/sync").size();
    ASSERT_TRUE(server_.waitForRequests(server_.requests().size() + 3, 60s));
    EXPECT_GE(requestsTo("POST", "/api/device/sync").size(), syncs + 3);
    EXPECT_EQ(daemon.log().find("không còn TovuControl trông"), std::string::npos) << daemon.log();

    system_->stopAgent();
    const auto called = [&](const std::vector<std::string>& calls) {
        return waitUntil([&] { return logind.calls() == calls; }, 30s);
    };
    EXPECT_TRUE(called({"Lock c1"}));
    EXPECT_TRUE(called({"Lock c1", "TerminateSession c1"}));
}
