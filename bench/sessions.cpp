// The daemon's hold on the child's sessions, with the real daemon against a stand-in logind on a
// private system bus and a stand-in lock screen. Run by `make bench`:
//   sessions [seconds of each idle measurement, 30 by default]
// - from the policy turning locked to the lock screen in front (goal: 300 ms at the 95th);
// - from the child's session brought forward to the lock screen in front again (goal: 100 ms);
// - from the exec of a disallowed program to its end (goal: 5 ms median);
// - the idle daemon's wake-ups and CPU with the exec guard on.
#include "support/FakeLogind.hpp"
#include "support/FakeServer.hpp"
#include "support/TrialSystem.hpp"
#include "support/XServer.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <poll.h>
#include <pwd.h>
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

// The child's session on console 2 (root's, as a trial pairs it by default).
LoginSession phien(const std::string& id, bool active = true, uid_t uid = 0) {
    return onConsole(id, uid, 2, active);
}

// Stands in for the lock screen: a session of the account daemon on console 8.
std::map<std::string, std::string> lockScreen() {
    return {{"TOVUC_LOCK_USER", "daemon"},
            {"TOVUC_LOCK_CMD", "busctl --system call org.freedesktop.login1 "
                               "/org/freedesktop/login1 vn.tovu.test.Logind Open uusu $$ 1 "
                               "lock-screen 8 >/dev/null && exec sleep 600"}};
}

// Waits, looking every millisecond, until the lock screen's session is in front; when it came.
Steady::time_point lockInFront(const FakeLogind& logind, TrialSystem& system) {
    const auto deadline = Steady::now() + 30s;
    for (;;) {
        const auto front = logind.session(logind.front());
        if (front && front->klass == "lock-screen") return Steady::now();
        if (Steady::now() > deadline)
            throw std::runtime_error("the lock screen never came:\n" + system.daemon().log());
        std::this_thread::sleep_for(1ms);
    }
}

double ms(Steady::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void summary(const char* what, std::vector<double> samples, const char* goal) {
    std::sort(samples.begin(), samples.end());
    std::printf("%s: %zu runs, median %.1f ms, 95th %.1f ms, worst %.1f ms (goal %s)\n", what,
                samples.size(), samples[samples.size() / 2], samples[samples.size() * 95 / 100],
                samples.back(), goal);
}

void lockedToFront() {
    std::vector<double> samples;
    for (int round = 0; round < launches; ++round) {
        SystemBus bus;
        FakeLogind logind(bus);
        FakeServer server;
        logind.add(phien("c1"));
        // A grant that ends two seconds from now locks the computer then.
        Policy granted = trialPolicy(false, "tu_do");
        granted.nextCheckSec = 300;
        const auto end = std::chrono::system_clock::now() + 2s;
        granted.grantEndsAt = isoTime(std::chrono::floor<std::chrono::seconds>(end));
        TrialSystem system({TOVUCONTROLD_PATH, ""}, server, granted, "", lockScreen());
        const auto ends = Steady::now() + (*granted.grantEnd() - std::chrono::system_clock::now());
        samples.push_back(ms(lockInFront(logind, system) - ends));
    }
    summary("policy turns locked → the lock screen in front", samples, "300 ms at the 95th");
}

void takenBack() {
    SystemBus bus;
    FakeLogind logind(bus);
    FakeServer server;
    logind.add(phien("c1"));
    TrialSystem system({TOVUCONTROLD_PATH, ""}, server, trialPolicy(true, "tu_do"), "",
                       lockScreen());
    lockInFront(logind, system);
    std::vector<double> samples;
    for (int i = 0; i < 50; ++i) {
        const auto start = Steady::now();
        logind.activate("c1");
        samples.push_back(ms(lockInFront(logind, system) - start));
    }
    summary("the child's session brought forward → the lock screen in front again", samples,
            "100 ms");
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
    logind.add(phien("c1"));
    // The child is an ordinary account of the bench's own: root's programs are never judged,
    // and the daemon ends the child's programs wherever they run.
    TempAccount kid;
    fs::permissions(root.path(), fs::perms(0755));
    TrialSystem system({TOVUCONTROLD_PATH, ""}, server, trialPolicy(false, "hoc"), "",
                       {{"TOVUC_APPS_DIR", root.file("share")}}, {}, kid.name);
    const uid_t child = getpwnam(kid.name.c_str())->pw_uid;
    std::vector<double> samples;
    for (int i = 0; i <= launches; ++i) {
        // A shell of the child's execs the game when told: the time starts there, not at the
        // bench's fork.
        int go[2];
        if (pipe2(go, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        Child game({"sh", "-c", "read go <&" + std::to_string(go[0]) + " && exec \"$0\" 60",
                    root.file("bin/game")},
                   "", child, go[0]);
        close(go[0]);
        const std::string stat = "/proc/" + std::to_string(game.pid()) + "/stat";
        if (!waitForExec(game.pid(), "sh") ||
            !waitUntil([&] { return readFile(stat).find(") S ") != std::string::npos; }))
            throw std::runtime_error("the shell never waited");
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, game.pid(), 0));
        const auto start = Steady::now();
        if (write(go[1], "\n", 1) != 1) throw std::runtime_error("write failed");
        close(go[1]);
        pollfd ready{pidfd, POLLIN, 0};
        const bool died = poll(&ready, 1, 10000) == 1;
        close(pidfd);
        if (!died) throw std::runtime_error("a disallowed app lived on");
        if (i > 0) samples.push_back(ms(Steady::now() - start)); // the first one is warm-up
    }
    summary("exec of a disallowed program in mode \"hoc\" → its end", samples, "5 ms median");
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
        std::string mode;
    };
    TempAccount kid; // the daemon ends the child's programs wherever they run
    const uid_t child = getpwnam(kid.name.c_str())->pw_uid;
    const std::vector<Case> cases{
        {"no session", {}, "tu_do"},
        {"the child's session behind another, exec guard on", {phien("c2", false, child)}, "hoc"},
        {"the child's session in front, exec guard on (minutes booked)",
         {phien("c3", true, child)},
         "hoc"},
    };
    for (const auto& c : cases) {
        SystemBus bus;
        FakeLogind logind(bus);
        FakeServer server;
        for (const auto& s : c.sessions)
            logind.add(s);
        Policy open = trialPolicy(false, c.mode);
        open.nextCheckSec = 300; // the sync timer out of the way
        TrialSystem system({TOVUCONTROLD_PATH, ""}, server, open, "", {}, {}, kid.name);
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
        lockedToFront();
        takenBack();
        disallowedStartToEnd();
        idle(seconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sessions: %s\n", e.what());
        return 1;
    }
}
