// The daemon as the last line, with the real daemon and agent against a stand-in logind on a
// private system bus. Run by `make bench`:
//   sessions [seconds of each idle measurement, 30 by default]
// - from the agent's death while locked to the session's lock (goal: 20 s at most);
// - from a disallowed app's start in an unguarded session in mode "hoc" to its end (goal: 2 s);
// - the idle daemon's wake-ups and CPU with the session watch on.
#include "support/FakeLogind.hpp"
#include "support/FakeServer.hpp"
#include "support/TrialSystem.hpp"
#include "support/XServer.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tovu;
using namespace tovu::test;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr int launches = 20;

LoginSession phien(const std::string& id, const std::string& display, bool active) {
    LoginSession s;
    s.id = id;
    s.type = "x11";
    s.klass = "user";
    s.state = active ? "active" : "online";
    s.seat = "seat0";
    s.display = display;
    s.active = active;
    return s;
}

double ms(Steady::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void summary(const char* what, std::vector<double> samples, double goalMs) {
    std::sort(samples.begin(), samples.end());
    std::printf("%s: %zu runs, median %.0f ms, worst %.0f ms (goal %.0f ms)\n", what,
                samples.size(), samples[samples.size() / 2], samples.back(), goalMs);
}

void agentDeathToLock(const std::string& display) {
    std::vector<double> samples;
    for (int round = 0; round < 3; ++round) {
        SystemBus bus;
        FakeLogind logind(bus);
        FakeServer server;
        logind.add(phien("c1", display, false));
        ScopedEnv id("XDG_SESSION_ID", "c1");
        TrialSystem system({TOVUCONTROLD_PATH, TOVU_HELPER_EXE}, server, trialPolicy(true, "tu_do"),
                           display, {{"TOVUC_AGENT", fs::canonical(TOVU_HELPER_EXE).string()}});
        if (!system.daemon().waitForLog("TovuControl đang trông phiên c1", 30s))
            throw std::runtime_error("the agent never guarded its session");
        logind.change("c1", [](LoginSession& s) {
            s.state = "active";
            s.active = true;
        });
        const auto died = Steady::now();
        system.stopAgent();
        if (!waitUntil([&] { return !logind.calls().empty(); }, 60s))
            throw std::runtime_error("the session was never locked");
        samples.push_back(ms(Steady::now() - died));
    }
    summary("agent killed while locked → Session.Lock", samples, 20000);
}

void disallowedStartToEnd() {
    TempDir root;
    fs::create_directories(root.path() / "bin");
    fs::create_directories(root.path() / "share/applications");
    fs::copy_file("/usr/bin/sleep", root.path() / "bin/game");
    std::ofstream(root.file("share/applications/org.tovu.game.desktop"))
        << "[Desktop Entry]\nType=Application\nName=Game\nExec=" << root.file("bin/game") << "\n";
    SystemBus bus;
    FakeLogind logind(bus);
    FakeServer server;
    logind.add(phien("c1", ":9", true));
    TrialSystem system({TOVUCONTROLD_PATH, ""}, server, trialPolicy(false, "hoc"), "",
                       {{"TOVUC_APPS_DIR", root.file("share")}});
    std::vector<double> samples;
    for (int i = 0; i <= launches; ++i) {
        const auto start = Steady::now();
        Child game({root.file("bin/game"), "60"}, "");
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, game.pid(), 0));
        pollfd ready{pidfd, POLLIN, 0};
        const bool died = poll(&ready, 1, 10000) == 1;
        close(pidfd);
        if (!died) throw std::runtime_error("a disallowed app lived on");
        if (i > 0) samples.push_back(ms(Steady::now() - start)); // the first one is warm-up
    }
    summary("disallowed app started in an unguarded \"hoc\" session → its end", samples, 2000);
}

// Times the daemon's threads went to sleep, and its CPU seconds.
std::pair<long, double> wakeups(pid_t pid) {
    long switches = 0;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.starts_with("voluntary_ctxt_switches:"))
                switches += std::stol(line.substr(24));
    }
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
    return {switches, (std::stod(f.at(11)) + std::stod(f.at(12))) /
                          static_cast<double>(sysconf(_SC_CLK_TCK))};
}

void idle(int seconds) {
    struct Case {
        const char* what;
        std::vector<LoginSession> sessions;
    };
    auto idleSession = phien("c2", ":9", true);
    idleSession.idle = true;
    const std::vector<Case> cases{
        {"no session", {}},
        {"an unguarded idle session", {idleSession}},
        {"an unguarded session in use (minutes booked)", {phien("c3", ":9", true)}},
    };
    for (const auto& c : cases) {
        SystemBus bus;
        FakeLogind logind(bus);
        FakeServer server;
        for (const auto& s : c.sessions)
            logind.add(s);
        Policy open = trialPolicy(false, "tu_do");
        open.nextCheckSec = 300; // the sync timer out of the way
        TrialSystem system({TOVUCONTROLD_PATH, ""}, server, open, "");
        std::this_thread::sleep_for(2s); // start-up settles
        const auto [w0, cpu0] = wakeups(system.daemon().pid());
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const auto [w1, cpu1] = wakeups(system.daemon().pid());
        std::printf("daemon idle, %s, %d s: %ld wake-ups, CPU %.3f %% of one core\n", c.what,
                    seconds, w1 - w0, 100 * (cpu1 - cpu0) / seconds);
    }
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    try {
        XServer x(false);
        agentDeathToLock(x.display());
        disallowedStartToEnd();
        idle(seconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sessions: %s\n", e.what());
        return 1;
    }
}
