// The Linux platform layer on real X servers: the apps the child runs, and the session's sleep.
#include "QtTestSupport.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"
#include "platform/LinuxWorkspace.hpp"
#include "platform/LinuxXcb.hpp"
#include "support/XClient.hpp"
#include "support/XView.hpp"

#include <algorithm>
#include <csignal>
#include <deque>
#include <sys/wait.h>
#include <unistd.h>

using namespace tovu;
using namespace tovu::test;

namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment(true));

std::optional<RunningApp> appOf(const Workspace& workspace, pid_t pid) {
    for (const auto& app : workspace.runningApps())
        if (app.pid == pid) return app;
    return std::nullopt;
}

class WorkspaceTest : public ::testing::Test {
protected:
    WorkspaceTest()
        : env_("DISPLAY", x_.display()) {
        const std::string entry = "[Desktop Entry]\nType=Application\nExec=";
        writeFile(data_.path() / "applications/org.tovu.Logo.desktop",
                  entry + "xlogo -fg red\nName=Logo\nName[vi]=Biểu trưng\n");
        writeFile(data_.path() / "applications/org.tovu.Mau.desktop",
                  entry + "/usr/bin/true\nName=Sample\nName[vi]=Mẫu thử\n");
    }
    // The workspace under test, made when the test is ready for it, with the apps of data_
    // installed; its signals are recorded.
    LinuxWorkspace& workspace() {
        if (!workspace_) {
            ScopedEnv language("LC_ALL", "vi_VN.UTF-8");
            workspace_ = std::make_unique<LinuxWorkspace>(AppCatalog::load({data_.path()}));
            QObject::connect(workspace_.get(), &Workspace::launched,
                             [this](const RunningApp& app) { launched_.push_back(app); });
            QObject::connect(workspace_.get(), &Workspace::activated,
                             [this](const RunningApp& app) { activated_.push_back(app); });
            QObject::connect(workspace_.get(), &Workspace::deactivated, [this] { ++deactivated_; });
        }
        return *workspace_;
    }
    // xeyes takes the focus only when told to (it declines it by default, and the manager obeys).
    Child start(const std::string& program) {
        if (program == "xeyes") return Child({program, "-xrm", "*input: true"}, x_.display());
        return Child({program}, x_.display());
    }
    // The visible window of a program, as xdotool finds it by class.
    std::string windowOf(const std::string& windowClass) {
        std::string found;
        waitFor([&] {
            auto out =
                run({"xdotool", "search", "--onlyvisible", "--class", windowClass}, x_.display());
            found = out ? out->substr(0, out->find('\n')) : "";
            return !found.empty();
        });
        return found;
    }
    bool xdotool(std::vector<std::string> args) {
        args.insert(args.begin(), "xdotool");
        return run(args, x_.display()).has_value();
    }
    // Sets a property of window: format "8u" (text), "8s" (string), "32a" (atoms), "32c" (number).
    bool xprop(const std::string& window, const std::string& property, const std::string& format,
               const std::string& value) {
        return run({"xprop", "-id", window, "-f", property, format, "-set", property, value},
                   x_.display())
            .has_value();
    }
    bool launchedApp(pid_t pid) {
        return std::ranges::any_of(launched_, [&](const auto& app) { return app.pid == pid; });
    }
    bool cameToFront(pid_t pid) {
        return waitFor([&] {
            return !activated_.empty() && activated_.back().pid == pid &&
                   workspace().frontmostApp() == activated_.back();
        });
    }

    XServer x_{true};
    ScopedEnv env_;
    TempDir data_;
    std::unique_ptr<LinuxWorkspace> workspace_;
    std::vector<RunningApp> launched_;
    std::vector<RunningApp> activated_;
    int deactivated_ = 0;
};

TEST_F(WorkspaceTest, ListsAppsAnnouncesLaterOnesAndFollowsTheFront) {
    // xlogo and xeyes never set _NET_WM_PID: their process comes from the X server.
    Child xlogo = start("xlogo");
    windowOf("XLogo");
    auto& ws = workspace();
    Child xeyes = start("xeyes");
    // Installed, the app is its desktop entry; otherwise its program, named by its class.
    ASSERT_TRUE(waitFor([&] { return appOf(ws, xlogo.pid()).has_value(); }));
    EXPECT_EQ(appOf(ws, xlogo.pid()),
              (RunningApp{xlogo.pid(), "org.tovu.Logo", "Biểu trưng", true}));
    // Only the app that came later was launched.
    ASSERT_TRUE(waitFor([&] { return launchedApp(xeyes.pid()); }));
    EXPECT_EQ(launched_.back(), (RunningApp{xeyes.pid(), "/usr/bin/xeyes", "XEyes", true}));
    EXPECT_FALSE(launchedApp(xlogo.pid()));

    // xeyes, started last, moves the front whichever app the manager focused before it.
    for (auto [child, cls] : {std::pair{&xeyes, "XEyes"}, {&xlogo, "XLogo"}, {&xeyes, "XEyes"}}) {
        ASSERT_TRUE(xdotool({"windowactivate", windowOf(cls)}));
        ASSERT_TRUE(cameToFront(child->pid())) << cls;
    }
}

TEST_F(WorkspaceTest, EveryClientWithAWindowOfRealSizeCountsWhateverItsWindowsSayOrItsProcessDoes) {
    auto& ws = workspace();
    const std::string self = *platform::executablePath(getpid());
    // Window types, states and claims change nothing; only a small overlay does not count.
    const struct {
        WindowSpec window;
        bool counts;
    } cases[] = {
        {{{0, 0, 300, 40},
          false,
          "TovuControlHelper",
          {{"_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR"},
           {"_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DOCK"}}},
         true},
        // Exactly a quarter of 1280×800 is not more than a quarter.
        {{{100, 100, 640, 400}, true, "Menu"}, false},
        {{{100, 100, 641, 400}, true, "Cover"}, true},
    };
    // All stay: a window manager late in letting go of a killed client's window would move and
    // hide the next client's window, given the same id.
    std::deque<XClient> clients;
    for (const auto& c : cases) {
        const XClient& client = clients.emplace_back(x_.display(), c.window);
        ASSERT_TRUE(waitFor([&] { return appOf(ws, client.pid()).has_value(); }))
            << c.window.wmClass;
        EXPECT_EQ(appOf(ws, client.pid())->identifier, self);
        EXPECT_EQ(appOf(ws, client.pid())->regular, c.counts) << c.window.wmClass;
    }

    // A window of this process, as the agent: the agent's own.
    XView view(x_.display());
    xcb_map_window(view.connection(), createWindow(view.connection(), {}));
    xcb_flush(view.connection());
    ASSERT_TRUE(waitFor([&] { return appOf(ws, getpid()).has_value(); }));
    EXPECT_EQ(appOf(ws, getpid())->identifier, std::string(Paths::helperBundleId));

    // What a window claims gives the app only its name (GTK's id before KDE's file); naming
    // another host changes nothing.
    Child xeyes = start("xeyes");
    const std::string window = windowOf("XEyes");
    for (auto [property, value, name] :
         {std::tuple{"_KDE_NET_WM_DESKTOP_FILE", "/x/org.tovu.Logo.desktop", "Biểu trưng"},
          {"_GTK_APPLICATION_ID", "org.tovu.Mau", "Mẫu thử"},
          {"WM_CLIENT_MACHINE", "elsewhere.example", "Mẫu thử"}}) {
        ASSERT_TRUE(xprop(window, property, "8u", value));
        ASSERT_TRUE(waitFor([&] {
            return appOf(ws, xeyes.pid()).value_or(RunningApp{}).name == name;
        })) << property;
        EXPECT_EQ(appOf(ws, xeyes.pid())->identifier, "/usr/bin/xeyes");
    }

    // A window of another client inside the app's is that client's, and in front with it.
    WindowSpec shape({10, 10, 100, 100});
    shape.parent = static_cast<xcb_window_t>(std::stoul(window));
    XClient inside(x_.display(), shape);
    ASSERT_TRUE(waitFor([&] { return appOf(ws, inside.pid()).has_value(); }));
    EXPECT_EQ(appOf(ws, inside.pid())->identifier, self);
    EXPECT_TRUE(appOf(ws, inside.pid())->regular);
    ASSERT_TRUE(xdotool({"windowactivate", window}));
    EXPECT_TRUE(cameToFront(inside.pid()));
}

// Thousands of tiny windows that come and go without a pause hide no app: one launched in the
// middle of it is announced and can be ended.
TEST_F(WorkspaceTest, AnAppLaunchedInAFloodOfWindowsIsSeenAndEnded) {
    auto& ws = workspace();
    for (auto churn : {WindowFlood::Churn::remap, WindowFlood::Churn::remake}) {
        WindowFlood flood(x_.display(), 2000, churn);
        Child xlogo = start("xlogo");
        ASSERT_TRUE(waitFor([&] { return launchedApp(xlogo.pid()); }));
        EXPECT_EQ(appOf(ws, xlogo.pid())->identifier, "org.tovu.Logo");
        EXPECT_FALSE(appOf(ws, getpid()).value_or(RunningApp{}).regular);
        ws.forceTerminate(*appOf(ws, xlogo.pid()));
        EXPECT_TRUE(waitUntil([&] { return xlogo.exited().has_value(); }));
    }
}

// A program that leaves its connection to a process it forked: its windows are that process's,
// whether the program had gone, unreaped, before the window showed or went after it was seen;
// left to a process in a session of its own, nothing is left to judge but the connection. Ending
// the app ends the connection.
TEST_F(WorkspaceTest, AConnectionLeftByItsProgramIsItsHeirsOrNobodys) {
    auto& ws = workspace();
    const std::string self = *platform::executablePath(getpid());
    const WindowSpec game({0, 0, 300, 300}, false, "Game");
    XClient unreaped(x_.display(), game, XClient::Then::leaveUnreaped);
    ASSERT_TRUE(waitFor([&] { return launchedApp(unreaped.pid()); }));
    EXPECT_EQ(appOf(ws, unreaped.pid())->identifier, self);

    XClient shared(x_.display(), game, XClient::Then::shareWithHeir);
    ASSERT_TRUE(waitFor([&] { return appOf(ws, shared.connector()).has_value(); }));
    shared.leave();
    ASSERT_TRUE(
        waitFor([&] { return launchedApp(shared.pid()) && !appOf(ws, shared.connector()); }));

    XClient stranger(x_.display(), game, XClient::Then::leaveToStranger);
    auto orphan = [&] {
        for (const auto& app : ws.runningApps())
            if (app.pid < 0) return std::optional(app);
        return std::optional<RunningApp>();
    };
    ASSERT_TRUE(waitFor([&] { return orphan().has_value(); }));
    EXPECT_EQ(*orphan(), (RunningApp{orphan()->pid, "?", "Game", true}));

    for (auto [client, app] : {std::pair{&unreaped, appOf(ws, unreaped.pid())},
                               {&shared, appOf(ws, shared.pid())},
                               {&stranger, orphan()}}) {
        ws.forceTerminate(*app);
        EXPECT_TRUE(waitUntil([&] {
            return !run({"xwininfo", "-id", std::to_string(client->window())}, x_.display());
        }));
    }
    EXPECT_TRUE(waitUntil([&] { return unreaped.dead() && shared.dead(); }));
}

TEST_F(WorkspaceTest, TheDesktopsOwnProgramsAndOtherUsersAppsAreNoApps) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to install a program and to be another user";
    // A screen saver's full-screen window, by what its process runs, not by what it claims.
    TempDir bin;
    std::filesystem::copy_file("/usr/bin/xlogo", bin.file("xscreensaver"));
    auto& ws = workspace();
    Child saver({bin.file("xscreensaver")}, x_.display());
    Child foreign({"xclock"}, x_.display(), 65534);
    windowOf("XClock");
    // Seen after the above.
    Child xeyes = start("xeyes");
    ASSERT_TRUE(xdotool({"windowactivate", windowOf("XEyes")}));
    ASSERT_TRUE(cameToFront(xeyes.pid()));
    const int before = deactivated_;
    ASSERT_TRUE(xdotool({"windowactivate", windowOf("XLogo")}));
    EXPECT_TRUE(waitFor([&] { return deactivated_ == before + 1; }));
    EXPECT_FALSE(ws.frontmostApp());
    EXPECT_FALSE(appOf(ws, saver.pid()));
    EXPECT_FALSE(appOf(ws, foreign.pid()));
}

// The process that made a window's connection, as the server names it, while that very process
// runs; once it has ended, or its pid names a process that started at another time, a process of
// ours in its group or session, else nobody's to end but the connection. Without the server's
// word (a client over TCP), the window's own counts only for this host.
TEST(WindowProcessTest, TheConnectorWhileItRunsThenItsHeirElseTheConnectionAlone) {
    const auto self = static_cast<std::uint32_t>(getpid());
    const auto started = liveStart(getpid());
    ASSERT_TRUE(started);
    const std::string host = "family-pc";
    const struct {
        std::optional<Connector> connector;
        std::string machine;
        pid_t expected;
    } cases[] = {
        {std::nullopt, host, getpid()},
        {std::nullopt, "elsewhere.example", 0},
        {Connector{self, started}, "elsewhere.example", getpid()},
        {Connector{self, *started + 1}, host, orphaned},
        {Connector{self, std::nullopt}, host, orphaned},
        {Connector{std::uint32_t(INT32_MAX), std::nullopt}, host, orphaned},
    };
    for (const auto& c : cases)
        EXPECT_EQ(windowProcess(c.connector, c.machine, self, host), c.expected)
            << (c.connector ? c.connector->pid : 0) << " " << c.machine;
}

// The X server gives the slot of a client that left, and so its window ids, to the next one.
// Events of the window's end and of the new one's coming then wait in the queue together.
TEST_F(WorkspaceTest, AWindowIdTakenOverWhileEventsWaitBelongsToTheNewApp) {
    // Opened before the apps, and no short-lived client in between, so that no other slot frees.
    XView view(x_.display());
    auto& ws = workspace();
    Child first = start("xclock");
    ASSERT_TRUE(waitFor([&] { return appOf(ws, first.pid()).has_value(); }));
    const std::vector<xcb_window_t> before = view.managed(first.pid());
    ASSERT_EQ(before.size(), 1u);
    const xcb_window_t window = before[0];

    // No event is handled from here until the new app shows.
    kill(first.pid(), SIGKILL);
    ASSERT_TRUE(
        waitUntil([&] { return first.exited() && !std::ranges::count(view.clients(), window); }));
    Child second = start("xclock");
    ASSERT_TRUE(waitUntil([&] { return std::ranges::count(view.managed(second.pid()), window); }))
        << "the server gave the new app other window ids; nothing here is reused";
    ASSERT_TRUE(appOf(ws, first.pid()).has_value());

    EXPECT_TRUE(waitFor([&] { return launchedApp(second.pid()); }));
    EXPECT_FALSE(appOf(ws, first.pid()).has_value());
    ASSERT_EQ(appOf(ws, second.pid()),
              (RunningApp{second.pid(), "/usr/bin/xclock", "XClock", true}));
    ASSERT_NE(ws.frontmostApp().value_or(RunningApp{}).pid, first.pid());

    // The window's changes are followed (without a class, the program names it), and the new
    // app can be ended.
    ASSERT_TRUE(xprop(std::to_string(window), "WM_CLASS", "8s", "seen"));
    EXPECT_TRUE(
        waitFor([&] { return appOf(ws, second.pid()).value_or(RunningApp{}).name == "xclock"; }));
    ws.forceTerminate(*appOf(ws, second.pid()));
    ASSERT_TRUE(waitUntil([&] { return second.exited().has_value(); }));
    EXPECT_TRUE(WIFSIGNALED(*second.exited()) && WTERMSIG(*second.exited()) == SIGKILL);
}

} // namespace
