// The whole system on a real X server: the built daemon in trial mode
// against a fake parents' server, and the built agent, watched from outside through the X
// server, the daemon's socket and the requests that reach the server.
#include "TovuCore/UsageTracker.hpp"
#include "TovuProtocol/Json.hpp"
#include "support/FakeLogind.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"
#include "support/TrialSystem.hpp"
#include "support/XClient.hpp"
#include "support/XServer.hpp"
#include "support/XView.hpp"

#include <algorithm>
#include <csignal>
#include <filesystem>
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

// One X server with openbox serves every test of the program; each test gets its own fake
// server, daemon and agent.
class AgentEndToEndTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { x11_ = std::make_unique<XServer>(true); }
    static void TearDownTestSuite() { x11_.reset(); }

    void SetUp() override { x_.emplace(x11_->display()); }

    void start(const Policy& p) {
        system_.emplace(TrialSystem::Programs{TOVUCONTROLD_PATH, TOVU_HELPER_EXE}, server_, p,
                        x11_->display());
    }
    pid_t agent() { return system_->agent().pid(); }
    Child app(const std::string& program) { return Child({program}, x11_->display()); }
    // Waits until the app shows a window that the window manager manages.
    bool shown(Child& app) {
        return waitUntil([&] { return !x_->managed(app.pid()).empty(); });
    }

    std::size_t panels() { return std::ranges::count(x_->managedTitles(agent()), "TovuControl"); }

    static inline std::unique_ptr<XServer> x11_;
    FakeServer server_;
    std::optional<XView> x_;
    std::optional<TrialSystem> system_;
};

// In learning mode the agent closes every other app, and says why for the ones the child starts;
// short-lived windows cannot make it miss one. Locked, it closes even the allowed app. (Closing
// and the panels under each policy, app by app: HelperTests; windows of every kind, including
// those that bypass the window manager: X11PlatformTests.)
TEST_F(AgentEndToEndTest, TheAgentClosesWhatThePolicyForbidsAndShowsWhyForLaunchedApps) {
    // Running before the agent has a policy: met by its first sweep, which shows nothing.
    Child xclock = app("xclock");
    Child xeyes = app("xeyes");
    ASSERT_TRUE(shown(xclock));
    ASSERT_TRUE(shown(xeyes));
    const std::vector<std::string> allowed = {"/usr/bin/xclock"};
    start(trialPolicy(false, "hoc", allowed));
    ASSERT_TRUE(dies(xeyes, 30s)) << "xeyes survived the agent's start";
    EXPECT_TRUE(killed(xeyes));
    EXPECT_EQ(panels(), 0u);

    Child xlogo = app("xlogo");
    ASSERT_TRUE(dies(xlogo));
    EXPECT_TRUE(killed(xlogo));
    EXPECT_TRUE(waitUntil([&] { return panels() == 1u; }))
        << testing::PrintToString(x_->managedTitles(agent()));

    // 300 windows that flash and go cannot crash the agent, nor let a later app live.
    for (int i = 0; i < 300; ++i)
        XClient(x11_->display(), {{i % 1500, 100, 120, 90}, false, "Flash"}, XClient::Then::exit);
    Child after = app("xlogo");
    EXPECT_TRUE(dies(after)) << "an app outlived the flashes";
    ASSERT_FALSE(system_->agent().exited())
        << "the agent ended with wait status " << system_->agent().exited().value_or(0);
    EXPECT_FALSE(xclock.exited().has_value());

    server_.reply("POST", "/api/device/sync", 200, Json::encode(trialPolicy(true, "hoc", allowed)));
    ASSERT_TRUE(dies(xclock, 30s)) << "xclock survived the lock\n" << system_->daemon().log();
    EXPECT_TRUE(killed(xclock));
}

TEST_F(AgentEndToEndTest, TheInstalledAgentDrawsOnTheScreensWhateverItsEnvironmentSays) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to install the agent";
    namespace fs = std::filesystem;
    // The folder the programs are installed in, or one inside it when it holds them already.
    const fs::path programs = TOVU_PROGRAM_DIR;
    const fs::path made =
        fs::exists(programs) ? programs / ("test-" + std::to_string(getpid())) : programs;
    struct Remove {
        fs::path path;
        ~Remove() { fs::remove_all(path); }
    } remove{made};
    fs::create_directories(made);
    fs::copy_file(TOVU_HELPER_EXE, made / "TovuControlHelper");
    ScopedEnv platform("QT_QPA_PLATFORM", "offscreen");
    ScopedEnv socket("TOVUC_SOCK", (made / "nowhere.sock").string());
    Child installed({(made / "TovuControlHelper").string()}, x11_->display());
    EXPECT_TRUE(waitUntil([&] {
        return std::ranges::any_of(x_->stack(),
                                   [&](xcb_window_t w) { return x_->pidOf(w) == installed.pid(); });
    }));
}

// Minutes counted by the daemon reach the server named by the agent, under the computer's day
// whatever time zone the child's environment names; locked with no lock screen to show, the
// daemon locks the session and then ends it, agent or not.
TEST_F(AgentEndToEndTest, MinutesReachTheServerNamedByTheAgentAndALockedSessionIsTaken) {
    SystemBus bus;
    FakeLogind logind(bus);
    LoginSession session = loginSession("c1", "x11", 0);
    session.display = x11_->display();
    logind.add(session);
    ScopedEnv id("XDG_SESSION_ID", "c1");
    Child xclock = app("xclock");
    ASSERT_TRUE(shown(xclock));
    // openbox on the dummy server hands the focus around on its own now and then (it obeys only
    // windowfocus): keep xclock in front as a child would, by focusing it again when it lost it.
    const std::string window = std::to_string(x_->managed(xclock.pid()).at(0));
    auto keepInFront = [&] {
        if (x_->activePid() != xclock.pid())
            run({"xdotool", "windowfocus", window}, x11_->display());
        return x_->activePid() == xclock.pid();
    };
    ASSERT_TRUE(waitUntil(keepInFront));
    // A zone where the date differs from the computer's now and in the minutes to come.
    const auto now = std::chrono::system_clock::now();
    const std::string today = UsageTracker::ngay(now);
    std::string zone = "Etc/GMT+12";
    for (auto later : {0min, 5min}) {
        ScopedEnv tz("TZ", zone);
        if (UsageTracker::ngay(now + later) == today) zone = "Etc/GMT-14";
    }
    TempDir drm; // no monitor the kernel knows of: the screens count as on
    system_.emplace(TrialSystem::Programs{TOVUCONTROLD_PATH, TOVU_HELPER_EXE}, server_,
                    trialPolicy(false, "tu_do"), x11_->display(),
                    std::map<std::string, std::string>{
                        {"TOVUC_AGENT", std::filesystem::canonical(TOVU_HELPER_EXE).string()},
                        {"TOVUC_LOCK_GRACE", "2"},
                        {"TOVUC_DRM_DIR", drm.path().string()}},
                    std::map<std::string, std::string>{{"TZ", zone}});
    auto& daemon = system_->daemon();

    // Counted a minute after the start, named by the next report, sent with the next sync.
    std::optional<std::string> day;
    auto asked = std::chrono::steady_clock::time_point{};
    auto reported = [&] {
        // Once a second: each look asks the X server and parses every request so far.
        if (std::chrono::steady_clock::now() - asked < 1s) return false;
        asked = std::chrono::steady_clock::now();
        keepInFront();
        for (const auto& r : server_.requests()) {
            if (r.path != "/api/device/sync") continue;
            for (const auto& e : r.json().value("usage", nlohmann::json::array()))
                if (e.value("appId", "") == "/usr/bin/xclock" &&
                    e.value("appName", "") == "Chương trình con tự chạy: /usr/bin/xclock" &&
                    e.value("minutes", 0) >= 1)
                    day = e.value("day", "");
        }
        return day.has_value();
    };
    ASSERT_TRUE(waitUntil(reported, 210s))
        << "in front: " << x_->activePid().value_or(0) << ", xclock: " << xclock.pid() << "\n"
        << daemon.log();
    EXPECT_EQ(day, today) << zone;
    EXPECT_FALSE(xclock.exited().has_value());

    server_.reply("POST", "/api/device/sync", 200, Json::encode(trialPolicy(true, "tu_do")));
    const auto called = [&](const std::vector<std::string>& calls) {
        return waitUntil([&] { return logind.calls() == calls; }, 40s);
    };
    EXPECT_TRUE(called({"Lock c1"})) << daemon.log();
    EXPECT_TRUE(called({"Lock c1", "TerminateSession c1"}));
}

} // namespace
