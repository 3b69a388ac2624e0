// The built daemon in trial mode watching the child's sessions through a stand-in logind.
#include "support/FakeLogind.hpp"
#include "support/TrialSystem.hpp"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

using namespace tovu;
using namespace tovu::test;
using namespace std::chrono_literals;

namespace {

// The trial system manages "root".
LoginSession phien(std::string id, std::string type, bool active = true, std::uint32_t uid = 0) {
    LoginSession s;
    s.id = std::move(id);
    s.uid = uid;
    s.type = std::move(type);
    s.klass = "user";
    s.state = active ? "active" : "online";
    s.seat = "seat0";
    s.display = s.type == "x11" ? ":5" : "";
    s.active = active;
    return s;
}

class DaemonSessionTest : public ::testing::Test {
protected:
    void start(const Policy& policy) {
        system.emplace(TrialSystem::Programs{TOVUCONTROLD_PATH, ""}, server, policy, "",
                       std::map<std::string, std::string>{{"TOVUC_LOCK_GRACE", "1"}});
    }
    bool called(const std::string& call, std::chrono::milliseconds deadline = 10s) {
        return waitUntil(
            [&] {
                const auto calls = logind.calls();
                return std::find(calls.begin(), calls.end(), call) != calls.end();
            },
            deadline);
    }
    std::optional<std::int64_t> bookedMinutes() {
        for (const auto& e : system->ask("usageToday").entries.value_or(std::vector<UsageEntry>{}))
            if (e.appName == "Phiên không có TovuControl") return e.minutes;
        return std::nullopt;
    }

    SystemBus bus;
    FakeLogind logind{bus};
    FakeServer server;
    std::optional<TrialSystem> system;
};

} // namespace

TEST_F(DaemonSessionTest, LockedComputerLocksThenEndsUnguardedSessionsAndEndsConsolesAtOnce) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    auto console = phien("c2", "tty");
    console.tty = std::string(ptsname(master)).substr(5);
    logind.add(phien("c1", "x11"));
    logind.add(console);
    logind.add(phien("c3", "x11", false));
    logind.add(phien("c9", "x11", true, 1001));
    const Policy locked = trialPolicy(true, "tu_do");
    start(locked);

    // A script in the session that calls the daemon as the agent would guards nothing.
    ScopedEnv id("XDG_SESSION_ID", "c1");
    Child script(
        {"sh", "-c",
         "while :; do echo '{\"display\":\":5\",\"op\":\"policy\"}' | socat - UNIX-CONNECT:" +
             system->socket() + "; sleep 1; done"},
        ":5");
    EXPECT_TRUE(called("Lock c1"));
    EXPECT_TRUE(called("TerminateSession c1"));
    EXPECT_TRUE(called("TerminateSession c2"));
    std::string text;
    char buf[512];
    fcntl(master, F_SETFL, O_NONBLOCK);
    ASSERT_TRUE(waitUntil([&] {
        ssize_t n;
        while ((n = read(master, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<std::size_t>(n));
        return text.find("phiên dòng lệnh này được đóng lại") != std::string::npos;
    }));
    EXPECT_NE(text.find(locked.lockTitle()), std::string::npos) << text;

    // A session switched to later is locked then.
    logind.change("c3", [](LoginSession& s) { s.active = true; });
    EXPECT_TRUE(called("Lock c3"));
    for (const auto& call : logind.calls())
        EXPECT_EQ(call.find("c9"), std::string::npos) << "another user's session: " << call;
    close(master);
    close(slave);
}

TEST_F(DaemonSessionTest, UnguardedUseIsBookedOnceAndReported) {
    logind.add(phien("c1", "x11"));
    logind.add(phien("c2", "tty"));
    Policy open = trialPolicy(false, "tu_do");
    open.minutesLeft = 100;
    start(open);

    // Two sessions without an agent in use together make one minute a minute.
    ASSERT_TRUE(waitUntil([&] { return bookedMinutes().has_value(); }, 90s));
    EXPECT_EQ(bookedMinutes(), 1);
    EXPECT_EQ(logind.calls(), std::vector<std::string>{}); // nothing is locked while open
    ASSERT_TRUE(server.waitForRequests(2, 30s));
    const auto status = server.requests().back().json()["status"];
    EXPECT_EQ(status["protected"], false);
    EXPECT_EQ(status["reason"],
              "Con đang đăng nhập ở màn hình dòng lệnh — TovuControl không trông được phiên này.");
}
