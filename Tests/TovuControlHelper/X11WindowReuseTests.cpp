#include "platform/LinuxWorkspace.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"
#include "support/XView.hpp"

#include <QCoreApplication>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace tovu;
using namespace tovu::test;

namespace {

std::optional<RunningApp> appOf(const Workspace& workspace, pid_t pid) {
    for (const auto& app : workspace.runningApps())
        if (app.pid == pid) return app;
    return std::nullopt;
}

bool contains(const std::vector<xcb_window_t>& windows, xcb_window_t window) {
    return std::ranges::find(windows, window) != windows.end();
}

// The X server gives the slot of a client that left, and so its window ids, to the next one.
// Events of the window's end and of the new one's coming then wait in the queue together.
TEST(X11WindowReuseTest, AWindowIdTakenOverWhileEventsWaitBelongsToTheNewApp) {
    XServer x(true);
    ScopedEnv display("DISPLAY", x.display());
    // Opened before the apps, and no short-lived client in between, so that no other slot frees.
    XView view(x.display());
    LinuxWorkspace workspace;
    std::vector<RunningApp> launched;
    QObject::connect(&workspace, &Workspace::launched,
                     [&](const RunningApp& app) { launched.push_back(app); });

    Child first({"xlogo"}, x.display());
    ASSERT_TRUE(QTest::qWaitFor([&] { return appOf(workspace, first.pid()).has_value(); }, 10000));
    const std::vector<xcb_window_t> before = view.managed(first.pid());
    ASSERT_EQ(before.size(), 1u);
    const xcb_window_t window = before[0];

    // No event is handled from here until the new app shows.
    kill(first.pid(), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return first.exited() && !contains(view.clients(), window); }));
    Child second({"xlogo"}, x.display());
    ASSERT_TRUE(waitUntil([&] { return !view.managed(second.pid()).empty(); }));
    ASSERT_TRUE(contains(view.managed(second.pid()), window))
        << "the server gave the new app other window ids; nothing here is reused";
    ASSERT_TRUE(appOf(workspace, first.pid()).has_value());

    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return std::ranges::any_of(launched,
                                       [&](const auto& app) { return app.pid == second.pid(); });
        },
        10000));
    EXPECT_FALSE(appOf(workspace, first.pid()).has_value());
    ASSERT_EQ(appOf(workspace, second.pid()),
              (RunningApp{second.pid(), "/usr/bin/xlogo", "XLogo", true}));
    ASSERT_NE(workspace.frontmostApp().value_or(RunningApp{}).pid, first.pid());

    // The window's changes are followed (without a class, the program names it), and the new
    // app can be ended.
    ASSERT_TRUE(run({"xprop", "-id", std::to_string(window), "-f", "WM_CLASS", "8s", "-set",
                     "WM_CLASS", "seen"},
                    x.display()));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return appOf(workspace, second.pid()).value_or(RunningApp{}).name == "xlogo"; },
        10000));
    workspace.forceTerminate(*appOf(workspace, second.pid()));
    ASSERT_TRUE(waitUntil([&] { return second.exited().has_value(); }));
    EXPECT_TRUE(WIFSIGNALED(*second.exited()));
    EXPECT_EQ(WTERMSIG(*second.exited()), SIGKILL);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
