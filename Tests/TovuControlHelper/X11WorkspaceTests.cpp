#include "platform/LinuxWorkspace.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <QCoreApplication>
#include <QTest>
#include <csignal>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

using namespace tovu;
using namespace tovu::test;

namespace {

bool waitFor(const std::function<bool()>& cond) {
    return QTest::qWaitFor(cond, 10000);
}

std::optional<RunningApp> appOf(const Workspace& workspace, pid_t pid) {
    for (const auto& app : workspace.runningApps())
        if (app.pid == pid) return app;
    return std::nullopt;
}

std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

// Windows made by the test process itself, so that any property can be set before they map.
class TestWindows {
public:
    explicit TestWindows(const std::string& display)
        : c_(xcb_connect(display.c_str(), nullptr)) {
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    }
    ~TestWindows() { xcb_disconnect(c_); }

    xcb_window_t create(xcb_rectangle_t area, bool overrideRedirect) {
        xcb_window_t window = xcb_generate_id(c_);
        std::uint32_t value = overrideRedirect;
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, root_, area.x, area.y, area.width,
                          area.height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_OVERRIDE_REDIRECT, &value);
        return window;
    }
    void text(xcb_window_t window, const std::string& property, const std::string& value) {
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom(property), XCB_ATOM_STRING, 8,
                            static_cast<std::uint32_t>(value.size()), value.data());
    }
    void atoms(xcb_window_t window, const std::string& property, const std::string& value) {
        xcb_atom_t a = atom(value);
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom(property), XCB_ATOM_ATOM, 32, 1,
                            &a);
    }
    void cardinal(xcb_window_t window, const std::string& property, std::uint32_t value) {
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom(property), XCB_ATOM_CARDINAL,
                            32, 1, &value);
    }
    void resize(xcb_window_t window, std::uint32_t width, std::uint32_t height) {
        const std::uint32_t size[] = {width, height};
        xcb_configure_window(c_, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    }
    void map(xcb_window_t window) {
        xcb_map_window(c_, window);
        sync();
    }
    // XCB_NONE, XCB_INPUT_FOCUS_POINTER_ROOT, the root or a window.
    void focus(xcb_window_t window) {
        xcb_set_input_focus(c_, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
        sync();
    }
    xcb_window_t root() const { return root_; }
    // Returns once the server has done everything asked so far.
    void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

private:
    xcb_atom_t atom(const std::string& name) {
        auto* reply = xcb_intern_atom_reply(
            c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.data()),
            nullptr);
        xcb_atom_t a = reply->atom;
        std::free(reply);
        return a;
    }

    xcb_connection_t* c_;
    xcb_window_t root_;
};

class WorkspaceTest : public ::testing::Test {
protected:
    explicit WorkspaceTest(bool windowManager = true)
        : x_(windowManager)
        , env_("DISPLAY", x_.display()) {}

    // The workspace under test, made when the test is ready for it; its signals are recorded.
    LinuxWorkspace& workspace() {
        if (!workspace_) {
            workspace_ = std::make_unique<LinuxWorkspace>();
            QObject::connect(workspace_.get(), &Workspace::launched,
                             [this](const RunningApp& app) { launched_.push_back(app); });
            QObject::connect(workspace_.get(), &Workspace::activated,
                             [this](const RunningApp& app) { activated_.push_back(app); });
            QObject::connect(workspace_.get(), &Workspace::deactivated, [this] { ++deactivated_; });
        }
        return *workspace_;
    }
    Child start(const std::string& program) { return Child({program}, x_.display()); }
    // xeyes, willing to take the focus (it declines it by default, and the manager respects that).
    Child startFocusableXeyes() { return Child({"xeyes", "-xrm", "*input: true"}, x_.display()); }
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
    bool xdotool(const std::string& command, const std::string& window) {
        return run({"xdotool", command, window}, x_.display()).has_value();
    }
    bool launchedApp(pid_t pid) {
        return std::ranges::any_of(launched_, [&](const auto& app) { return app.pid == pid; });
    }

    XServer x_;
    ScopedEnv env_;
    std::unique_ptr<LinuxWorkspace> workspace_;
    std::vector<RunningApp> launched_;
    std::vector<RunningApp> activated_;
    int deactivated_ = 0;
};

class WorkspaceWithoutWindowManagerTest : public WorkspaceTest {
protected:
    WorkspaceWithoutWindowManagerTest()
        : WorkspaceTest(false) {}
};

TEST_F(WorkspaceTest, ListsAppsFoundAtStartAndLaterByTheirClass) {
    // xlogo and xeyes never set _NET_WM_PID: their process comes from the X server.
    Child xlogo = start("xlogo");
    Child xclock = start("xclock");
    windowOf("XLogo");
    windowOf("XClock");
    auto& ws = workspace();
    Child xeyes = start("xeyes");

    for (auto [child, cls] : {std::pair{&xlogo, "XLogo"}, {&xclock, "XClock"}, {&xeyes, "XEyes"}}) {
        ASSERT_TRUE(waitFor([&] { return appOf(ws, child->pid()).has_value(); })) << cls;
        RunningApp app = *appOf(ws, child->pid());
        EXPECT_EQ(app.identifier, cls);
        EXPECT_EQ(app.name, cls);
        EXPECT_TRUE(app.regular) << cls;
    }
    // Only the app that came later was launched.
    EXPECT_TRUE(launchedApp(xeyes.pid()));
    EXPECT_FALSE(launchedApp(xlogo.pid()));
}

TEST_F(WorkspaceTest, NamesAppsByTheDesktopEntryTheirWindowNames) {
    TempDir data;
    std::filesystem::create_directories(data.path() / "applications");
    std::ofstream(data.file("applications/org.tovu.Mau.desktop"))
        << "[Desktop Entry]\nType=Application\nName=Sample\nName[vi]=Mẫu thử\n"
           "[Desktop Action Moi]\nName[vi]=Sai\n";
    ScopedEnv home("XDG_DATA_HOME", data.path().string());
    ScopedEnv language("LC_ALL", "vi_VN.UTF-8");
    auto& ws = workspace();

    TestWindows windows(x_.display());
    xcb_window_t window = windows.create({0, 0, 200, 200}, false);
    windows.text(window, "_GTK_APPLICATION_ID", "org.tovu.Mau");
    windows.text(window, "WM_CLASS", std::string("mau\0Mau\0", 8));
    windows.map(window);
    ASSERT_TRUE(waitFor([&] { return appOf(ws, getpid()).has_value(); }));
    EXPECT_EQ(appOf(ws, getpid())->identifier, "org.tovu.Mau");
    EXPECT_EQ(appOf(ws, getpid())->name, "Mẫu thử");

    // A desktop file named after the window was shown, without an entry: the class names it.
    Child xlogo = start("xlogo");
    std::string xlogoWindow = windowOf("XLogo");
    ASSERT_TRUE(run({"xprop", "-id", xlogoWindow, "-f", "_KDE_NET_WM_DESKTOP_FILE", "8u", "-set",
                     "_KDE_NET_WM_DESKTOP_FILE", "org.tovu.Khac.desktop"},
                    x_.display())
                    .has_value());
    ASSERT_TRUE(waitFor([&] {
        auto app = appOf(ws, xlogo.pid());
        return app && app->identifier == "org.tovu.Khac";
    }));
    EXPECT_EQ(appOf(ws, xlogo.pid())->name, "XLogo");
}

TEST_F(WorkspaceTest, AppsWithoutOrdinaryWindowsAreAccessory) {
    auto& ws = workspace();
    Child xlogo = start("xlogo");
    std::string window = windowOf("XLogo");
    ASSERT_TRUE(waitFor([&] { return appOf(ws, xlogo.pid()) && appOf(ws, xlogo.pid())->regular; }));

    auto xprop = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"xprop", "-id", window});
        return run(args, x_.display()).has_value();
    };
    ASSERT_TRUE(xprop(
        {"-f", "_NET_WM_STATE", "32a", "-set", "_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR"}));
    EXPECT_TRUE(waitFor([&] { return !appOf(ws, xlogo.pid())->regular; }));

    // A utility window stays accessory; the identifier change after it shows it has been seen.
    ASSERT_TRUE(xprop({"-remove", "_NET_WM_STATE"}));
    ASSERT_TRUE(xprop({"-f", "_NET_WM_WINDOW_TYPE", "32a", "-set", "_NET_WM_WINDOW_TYPE",
                       "_NET_WM_WINDOW_TYPE_UTILITY"}));
    ASSERT_TRUE(xprop({"-f", "_GTK_APPLICATION_ID", "8u", "-set", "_GTK_APPLICATION_ID", "Seen"}));
    ASSERT_TRUE(waitFor([&] { return appOf(ws, xlogo.pid())->identifier == "Seen"; }));
    EXPECT_FALSE(appOf(ws, xlogo.pid())->regular);

    // A dialog counts as ordinary again.
    ASSERT_TRUE(xprop({"-f", "_NET_WM_WINDOW_TYPE", "32a", "-set", "_NET_WM_WINDOW_TYPE",
                       "_NET_WM_WINDOW_TYPE_DIALOG"}));
    EXPECT_TRUE(waitFor([&] { return appOf(ws, xlogo.pid())->regular; }));
}

TEST_F(WorkspaceTest, AnOverrideRedirectWindowOverAQuarterOfTheScreenMakesAnAppRegular) {
    auto& ws = workspace();
    TestWindows windows(x_.display());
    xcb_window_t panel = windows.create({0, 0, 300, 40}, false);
    windows.atoms(panel, "_NET_WM_STATE", "_NET_WM_STATE_SKIP_TASKBAR");
    windows.map(panel);
    ASSERT_TRUE(waitFor([&] { return appOf(ws, getpid()).has_value(); }));
    EXPECT_FALSE(appOf(ws, getpid())->regular);

    // Exactly a quarter of 1280×800 is not more than a quarter.
    xcb_window_t cover = windows.create({100, 100, 640, 400}, true);
    windows.text(cover, "WM_CLASS", std::string("cover\0Cover\0", 12));
    windows.map(cover);
    ASSERT_TRUE(waitFor([&] { return appOf(ws, getpid())->identifier == "Cover"; }));
    EXPECT_FALSE(appOf(ws, getpid())->regular);
    launched_.clear();

    // Growing it afterwards counts, and is announced like a launch.
    windows.resize(cover, 641, 400);
    windows.sync();
    ASSERT_TRUE(waitFor([&] { return appOf(ws, getpid())->regular; }));
    ASSERT_TRUE(waitFor([&] { return launchedApp(getpid()); }));
    EXPECT_TRUE(launched_.back().regular);
}

TEST_F(WorkspaceTest, ReportsLaunchesAndActivationsAsTheyHappen) {
    auto& ws = workspace();
    Child xlogo = start("xlogo");
    ASSERT_TRUE(waitFor([&] { return launchedApp(xlogo.pid()); }));
    EXPECT_EQ(launched_.back().identifier, "XLogo");
    EXPECT_TRUE(launched_.back().regular);
    Child xeyes = startFocusableXeyes();
    ASSERT_TRUE(waitFor([&] { return launchedApp(xeyes.pid()); }));

    for (auto [child, cls] : {std::pair{&xlogo, "XLogo"}, {&xeyes, "XEyes"}, {&xlogo, "XLogo"}}) {
        ASSERT_TRUE(xdotool("windowactivate", windowOf(cls)));
        ASSERT_TRUE(waitFor([&] {
            return !activated_.empty() && activated_.back().pid == child->pid();
        })) << cls;
        EXPECT_EQ(activated_.back().identifier, cls);
        EXPECT_EQ(ws.frontmostApp(), activated_.back());
    }
}

TEST_F(WorkspaceTest, ReportsOnceWhenTheAppInFrontClosesLeavesTheFrontOrDies) {
    auto& ws = workspace();
    auto cameToFront = [&](const Child& child) {
        return waitFor([&] {
            return !activated_.empty() && activated_.back().pid == child.pid() &&
                   ws.frontmostApp() == activated_.back();
        });
    };

    Child xlogo = start("xlogo");
    std::string window = windowOf("XLogo");
    ASSERT_TRUE(xdotool("windowactivate", window));
    ASSERT_TRUE(cameToFront(xlogo));
    ASSERT_TRUE(xdotool("windowunmap", window));
    ASSERT_TRUE(waitFor([&] { return deactivated_ == 1; }));
    EXPECT_FALSE(ws.frontmostApp());

    // Minimised, it keeps running but is no longer in front.
    Child xeyes = startFocusableXeyes();
    window = windowOf("XEyes");
    ASSERT_TRUE(xdotool("windowactivate", window));
    ASSERT_TRUE(cameToFront(xeyes));
    EXPECT_EQ(deactivated_, 1);
    ASSERT_TRUE(xdotool("windowminimize", window));
    ASSERT_TRUE(waitFor([&] { return deactivated_ == 2; }));
    EXPECT_FALSE(ws.frontmostApp());
    EXPECT_TRUE(appOf(ws, xeyes.pid()).has_value());

    ASSERT_TRUE(xdotool("windowactivate", window));
    ASSERT_TRUE(cameToFront(xeyes));
    kill(xeyes.pid(), SIGKILL);
    ASSERT_TRUE(waitFor([&] { return deactivated_ == 3; }));
    EXPECT_FALSE(ws.frontmostApp());
}

TEST_F(WorkspaceTest, ForceTerminateKillsTheApp) {
    auto& ws = workspace();
    Child xlogo = start("xlogo");
    ASSERT_TRUE(waitFor([&] { return appOf(ws, xlogo.pid()).has_value(); }));
    ws.forceTerminate(*appOf(ws, xlogo.pid()));
    ASSERT_TRUE(waitFor([&] { return xlogo.exited().has_value(); }));
    EXPECT_TRUE(WIFSIGNALED(*xlogo.exited()));
    EXPECT_EQ(WTERMSIG(*xlogo.exited()), SIGKILL);
    EXPECT_TRUE(waitFor([&] { return !appOf(ws, xlogo.pid()); }));
}

TEST_F(WorkspaceTest, TheServerNamesTheProcessOfAWindowWhateverTheWindowClaims) {
    auto& ws = workspace();
    // Another host and another process named by the test's own window: the connection is ours.
    Child bystander({"sleep", "60"}, x_.display());
    TestWindows windows(x_.display());
    xcb_window_t spoof = windows.create({0, 0, 200, 200}, false);
    windows.text(spoof, "WM_CLIENT_MACHINE", "elsewhere.example");
    windows.cardinal(spoof, "_NET_WM_PID", static_cast<std::uint32_t>(bystander.pid()));
    windows.text(spoof, "WM_CLASS", std::string("spoof\0Spoof\0", 12));
    windows.map(spoof);
    ASSERT_TRUE(waitFor([&] { return appOf(ws, getpid()).has_value(); }));
    EXPECT_EQ(appOf(ws, getpid())->identifier, "Spoof");
    EXPECT_FALSE(appOf(ws, bystander.pid()).has_value());

    // A running app that names another host afterwards can still be closed; the identifier set
    // after it shows that the change has been seen.
    Child xlogo = start("xlogo");
    ASSERT_TRUE(waitFor([&] { return appOf(ws, xlogo.pid()).has_value(); }));
    std::string window = windowOf("XLogo");
    ASSERT_TRUE(run({"xprop", "-id", window, "-f", "WM_CLIENT_MACHINE", "8s", "-set",
                     "WM_CLIENT_MACHINE", "otherhost"},
                    x_.display())
                    .has_value());
    ASSERT_TRUE(run({"xprop", "-id", window, "-f", "_GTK_APPLICATION_ID", "8u", "-set",
                     "_GTK_APPLICATION_ID", "Seen"},
                    x_.display())
                    .has_value());
    ASSERT_TRUE(waitFor([&] {
        auto app = appOf(ws, xlogo.pid());
        return !app || app->identifier == "Seen";
    }));
    ASSERT_TRUE(appOf(ws, xlogo.pid()).has_value());
    ws.forceTerminate(*appOf(ws, xlogo.pid()));
    EXPECT_TRUE(waitFor([&] { return xlogo.exited().has_value(); }));
}

TEST_F(WorkspaceTest, LeavesOutOtherUsers) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to run an app as another user";
    auto& ws = workspace();
    Child foreign({"xlogo"}, x_.display(), 65534);
    windowOf("XLogo");
    // Seen after the above.
    Child xeyes = start("xeyes");
    ASSERT_TRUE(waitFor([&] { return appOf(ws, xeyes.pid()).has_value(); }));
    EXPECT_FALSE(appOf(ws, foreign.pid()).has_value());
}

// Without a process from the server (a client over TCP), only the window's word is left, and it
// counts only when it says this host.
TEST(WindowProcessTest, WithoutTheServersWordOnlyWindowsOfThisHostCount) {
    const auto self = static_cast<std::uint32_t>(getpid());
    const std::string host = hostName();
    EXPECT_EQ(windowProcess(self, "elsewhere.example", std::nullopt, host), getpid());
    EXPECT_EQ(windowProcess(std::nullopt, host, self, host), getpid());
    EXPECT_EQ(windowProcess(std::nullopt, "elsewhere.example", self, host), 0);
    EXPECT_EQ(windowProcess(std::nullopt, std::nullopt, self, host), 0);
    EXPECT_EQ(windowProcess(std::nullopt, host, std::nullopt, host), 0);
    // A process that has ended belongs to nobody.
    EXPECT_EQ(windowProcess(std::uint32_t(INT32_MAX), host, std::nullopt, host), 0);
}

TEST_F(WorkspaceWithoutWindowManagerTest, FollowsMappedWindowsAndTheFocusUntilAManagerComes) {
    auto& ws = workspace();
    Child xlogo = start("xlogo");
    Child xclock = start("xclock");
    ASSERT_TRUE(waitFor([&] { return launchedApp(xlogo.pid()) && launchedApp(xclock.pid()); }));
    EXPECT_TRUE(appOf(ws, xlogo.pid())->regular);

    for (auto [child, cls] : {std::pair{&xlogo, "XLogo"}, {&xclock, "XClock"}}) {
        ASSERT_TRUE(xdotool("windowfocus", windowOf(cls)));
        ASSERT_TRUE(waitFor([&] {
            return !activated_.empty() && activated_.back().pid == child->pid();
        })) << cls;
    }

    // Focus on no window, on the root or following the pointer is no app in front.
    TestWindows windows(x_.display());
    const xcb_window_t xlogoWindow = std::stoul(windowOf("XLogo"));
    int times = 0;
    for (xcb_window_t nowhere :
         {xcb_window_t(XCB_NONE), xcb_window_t(XCB_INPUT_FOCUS_POINTER_ROOT), windows.root()}) {
        const auto before = activated_.size();
        windows.focus(xlogoWindow);
        ASSERT_TRUE(waitFor([&] { return activated_.size() > before; }));
        EXPECT_EQ(activated_.back().pid, xlogo.pid());
        windows.focus(nowhere);
        ASSERT_TRUE(waitFor([&] { return deactivated_ == times + 1; })) << nowhere;
        EXPECT_FALSE(ws.frontmostApp());
        ++times;
    }

    ASSERT_TRUE(xdotool("windowunmap", windowOf("XClock")));
    EXPECT_TRUE(waitFor([&] { return !appOf(ws, xclock.pid()); }));

    x_.startWindowManager();
    Child xeyes = startFocusableXeyes();
    ASSERT_TRUE(waitFor([&] { return launchedApp(xeyes.pid()); }));
    EXPECT_TRUE(appOf(ws, xlogo.pid()).has_value());
    ASSERT_TRUE(xdotool("windowactivate", windowOf("XEyes")));
    EXPECT_TRUE(waitFor([&] { return activated_.back().pid == xeyes.pid(); }));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
