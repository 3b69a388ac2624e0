// The built daemon in trial mode watching the child's sessions through a stand-in logind.
#include "TovuCore/Paths.hpp"
#include "support/FakeLogind.hpp"
#include "support/TrialSystem.hpp"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
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
    void SetUp() override { std::filesystem::copy_file(python, otherPython); }
    // Python stands for the agent: its calls keep the agent alive in the status.
    void start(const Policy& policy) {
        system.emplace(
            TrialSystem::Programs{TOVUCONTROLD_PATH, ""}, server, policy, "",
            std::map<std::string, std::string>{{"TOVUC_LOCK_GRACE", "1"}, {"TOVUC_AGENT", python}});
    }
    // Calls the daemon every second from session id, saying it holds the display, as the
    // agent or as a script run by a copy of the same interpreter; each call adds a byte to the
    // file calls/id.
    Child caller(const std::string& id, const std::string& display, bool agent) {
        ScopedEnv session("XDG_SESSION_ID", id);
        const std::string line = R"({"display":")" + display + R"(","op":"policy"})";
        return Child({agent ? python : otherPython, "-c",
                      "import socket, time\nwhile True:\n s = socket.socket(socket.AF_UNIX)\n"
                      " s.connect('" +
                          system->socket() + "')\n s.sendall(b'" + line +
                          "\\n')\n s.recv(4096)\n open('" + calls.file(id) +
                          "', 'a').write('x')\n time.sleep(1)"},
                     display);
    }
    std::size_t callsFrom(const std::string& id) {
        return FileIO::readText(calls.file(id)).value_or("").size();
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

    TempDir calls;
    const std::string python = std::filesystem::canonical("/usr/bin/python3").string();
    const std::string otherPython = calls.file("python");
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
    logind.add(phien("c1", "x11", false));
    logind.add(console);
    logind.add(phien("c3", "x11", false));
    logind.add(phien("c9", "x11", true, 1001));
    const Policy locked = trialPolicy(true, "tu_do");
    start(locked);

    // Neither the agent on a display of its own nor a script guards the session.
    Child elsewhere = caller("c1", ":7", true), script = caller("c1", ":5", false);
    ASSERT_TRUE(waitUntil([&] { return callsFrom("c1") >= 6; }));
    logind.change("c1", [](LoginSession& s) { s.active = true; });
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

TEST_F(DaemonSessionTest, UnguardedUseIsBookedOnce) {
    logind.add(phien("c1", "x11"));
    logind.add(phien("c2", "tty"));
    Policy open = trialPolicy(false, "tu_do");
    open.minutesLeft = 100;
    start(open);

    // Two sessions without an agent in use together make one minute a minute.
    ASSERT_TRUE(waitUntil([&] { return bookedMinutes().has_value(); }, 90s));
    EXPECT_EQ(bookedMinutes(), 1);
    EXPECT_EQ(logind.calls(), std::vector<std::string>{}); // nothing is locked while open
}
