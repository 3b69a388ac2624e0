// How fast the agent ends a disallowed app once its window appears, what the idle agent costs,
// with the real daemon on Xvfb under openbox, and how it holds up under a flood of windows. Run
// by `make bench`:
//   agent [seconds of each idle and flood measurement, 60 by default] [kill|idle|flood]...
#include "TovuCore/Ipc.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"
#include "support/TrialSystem.hpp"
#include "support/XClient.hpp"
#include "support/XServer.hpp"
#include "support/XView.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tovu;
using namespace tovu::test;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int launches = 20;
const TrialSystem::Programs programs{TOVUCONTROLD_PATH, TOVU_HELPER_EXE};

struct FreeEvent {
    void operator()(xcb_generic_event_t* e) const { std::free(e); }
};

// When the window of one launch of an app appeared, and when the app died.
struct Launch {
    std::optional<Steady::time_point> created; // its top-level window
    std::optional<Steady::time_point> mapped;  // that window, or the frame the manager gave it
    std::optional<Steady::time_point> died;    // none: still running after 10 s
};

// Starts the program and follows it through the root window's events until it dies, for up to
// 10 s; a survivor is killed then.
Launch launch(XView& x, const std::string& display, const std::string& program) {
    Child app({program}, display);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, app.pid(), 0));
    if (pidfd < 0) throw std::runtime_error("pidfd_open failed");
    Launch result;
    std::set<xcb_window_t> windows; // the app's top-level windows and their frames
    const auto deadline = Steady::now() + 10s;
    for (;;) {
        // Events read along with an answer wait in xcb's queue, where poll cannot see them.
        std::vector<std::unique_ptr<xcb_generic_event_t, FreeEvent>> events;
        while (auto* e = xcb_poll_for_queued_event(x.connection()))
            events.emplace_back(e);
        pollfd fds[] = {{xcb_get_file_descriptor(x.connection()), POLLIN, 0}, {pidfd, POLLIN, 0}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
        const int wait = events.empty() ? static_cast<int>(left.count()) : 0;
        if (left <= 0ms || (poll(fds, 2, wait) <= 0 && events.empty())) break;
        const auto now = Steady::now();
        // All events are stamped before any question to the server.
        while (auto* e = xcb_poll_for_event(x.connection()))
            events.emplace_back(e);
        for (const auto& e : events) {
            switch (e->response_type & 0x7f) {
            case XCB_CREATE_NOTIFY: {
                const auto* c = reinterpret_cast<const xcb_create_notify_event_t*>(e.get());
                if (!result.created && c->parent == x.root() && x.pidOf(c->window) == app.pid()) {
                    result.created = now;
                    windows.insert(c->window);
                }
                break;
            }
            case XCB_REPARENT_NOTIFY: {
                const auto* r = reinterpret_cast<const xcb_reparent_notify_event_t*>(e.get());
                if (windows.contains(r->window)) windows.insert(r->parent);
                break;
            }
            case XCB_MAP_NOTIFY: {
                const auto* m = reinterpret_cast<const xcb_map_notify_event_t*>(e.get());
                if (!result.mapped && m->event == x.root() && windows.contains(m->window))
                    result.mapped = now;
                break;
            }
            default:
                break;
            }
        }
        if (fds[1].revents & POLLIN) {
            result.died = now;
            break;
        }
    }
    close(pidfd);
    if (result.died) waitUntil([&] { return app.exited().has_value(); });
    return result;
}

void printSpread(const char* what, std::vector<double> ms) {
    if (ms.empty()) {
        std::printf("  %-24s no sample\n", what);
        return;
    }
    std::ranges::sort(ms);
    std::printf("  %-24s min %6.1f ms  median %6.1f ms  max %6.1f ms  (%zu times)\n", what,
                ms.front(), ms[ms.size() / 2], ms.back(), ms.size());
}

double millis(Steady::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void killTimes(const std::string& display, const char* name, const Policy& policy) {
    FakeServer server;
    TrialSystem system(programs, server, policy, display);
    XView x(display);
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x.connection(), x.root(), XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x.connection());
    // The first launch only shows that the agent has its policy.
    launch(x, display, "xlogo");
    std::vector<double> fromCreate, fromMap;
    int beforeMap = 0, survived = 0;
    for (int i = 0; i < launches; ++i) {
        const Launch l = launch(x, display, "xlogo");
        if (!l.died)
            ++survived;
        else if (!l.mapped)
            ++beforeMap;
        if (l.died && l.created) fromCreate.push_back(millis(*l.died - *l.created));
        if (l.died && l.mapped) fromMap.push_back(millis(*l.died - *l.mapped));
    }
    std::printf("xlogo killed, policy %s:\n", name);
    printSpread("window created → dead", fromCreate);
    printSpread("window shown → dead", fromMap);
    if (beforeMap > 0) std::printf("  %d launches died before their window was shown\n", beforeMap);
    if (survived > 0) std::printf("  %d launches still ran after 10 s\n", survived);
}

// Seconds of CPU the process has used (user + system).
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
    // Fields 14 and 15 of the file; the state, field 3, comes first after the name.
    return (std::stod(f.at(11)) + std::stod(f.at(12))) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A "Name:   1234 kB" line of /proc/PID/status, in KiB.
long statusKiB(pid_t pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(name + ":")) return std::stol(line.substr(name.size() + 1));
    return -1;
}

void idle(const std::string& display, const char* name, const Policy& policy, int seconds) {
    FakeServer server;
    TrialSystem system(programs, server, policy, display);
    const pid_t agent = system.agent().pid();
    // Start-up (fonts, first policy, lock windows) is not idling.
    std::this_thread::sleep_for(5s);
    const double cpu0 = cpuSeconds(agent);
    const auto t0 = Steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = cpuSeconds(agent) - cpu0;
    const double elapsed = std::chrono::duration<double>(Steady::now() - t0).count();
    std::printf("agent idle, %s, %d s: CPU %.3f %% of one core, VmRSS %.1f MiB (RssAnon %.1f "
                "MiB)\n",
                name, seconds, 100 * cpu / elapsed, statusKiB(agent, "VmRSS") / 1024.0,
                statusKiB(agent, "RssAnon") / 1024.0);
}

// The agent against a daemon of the bench's own that records when each call comes: its policy
// has a grant that ended, so every tick asks for the policy again, and the usage report comes
// every 30 s. Under the flood of windows the agent must keep both rhythms, stay small and still
// end a disallowed app.
void flood(const std::string& display, int seconds, WindowFlood::Churn churn) {
    TempDir dir;
    const std::string socket = dir.file("d.sock");
    Policy policy = trialPolicy(false, "hoc", {"/usr/bin/xclock"});
    policy.grantEndsAt = isoTime(std::chrono::system_clock::now() - 1h);
    std::mutex mutex;
    std::vector<std::pair<std::string, Steady::time_point>> calls;
    const auto daemon = Ipc::serve(socket, [&](const IpcRequest& request, const Ipc::Peer&) {
        const std::lock_guard lock(mutex);
        calls.emplace_back(request.op, Steady::now());
        IpcResponse answer;
        answer.ok = true;
        answer.online = true;
        answer.policy = policy;
        return answer;
    });
    auto times = [&](const std::string& op, Steady::time_point from) {
        const std::lock_guard lock(mutex);
        std::vector<Steady::time_point> found;
        for (const auto& [name, at] : calls)
            if (name == op && at >= from) found.push_back(at);
        return found;
    };
    ScopedEnv sock("TOVUC_SOCK", socket);
    ScopedEnv platform("QT_QPA_PLATFORM", std::nullopt);
    Child agent({TOVU_HELPER_EXE}, display);
    if (!waitUntil([&] { return times("policy", {}).size() >= 2; }, 30s))
        throw std::runtime_error("the agent does not tick");
    const long before = statusKiB(agent.pid(), "VmRSS");

    const auto t0 = Steady::now();
    const double cpu0 = cpuSeconds(agent.pid());
    std::optional<WindowFlood> windows(std::in_place, display, 3000, churn);
    long peak = 0;
    std::optional<double> killedAfter;
    for (int s = 0; s < seconds; ++s) {
        if (s == seconds / 2) {
            // A disallowed app in the middle of it all.
            Child xlogo({"xlogo"}, display);
            const auto started = Steady::now();
            if (waitUntil([&] { return xlogo.exited().has_value(); }, 10s))
                killedAfter = millis(Steady::now() - started);
        }
        std::this_thread::sleep_for(1s);
        peak = std::max(peak, statusKiB(agent.pid(), "VmRSS"));
        if (agent.exited()) throw std::runtime_error("the agent died in the flood");
    }
    const double cpu = cpuSeconds(agent.pid()) - cpu0;
    windows.reset();
    const auto t1 = Steady::now();
    // The biggest gap between calls of the rhythm, counting from the flood's start to its end.
    auto worstLate = [&](const std::string& op, Steady::duration every) {
        auto at = times(op, t0);
        at.insert(at.begin(), t0);
        at.push_back(t1);
        Steady::duration gap{};
        for (std::size_t i = 1; i < at.size(); ++i)
            gap = std::max(gap, at[i] - at[i - 1]);
        return millis(gap - every);
    };
    std::printf("agent under %d s of 3,000 windows %s without a pause:\n", seconds,
                churn == WindowFlood::Churn::remake ? "destroyed and made anew"
                                                    : "unmapped and mapped again");
    std::printf("  VmRSS %.1f MiB before, %.1f MiB at most during; CPU %.0f %% of one core\n",
                before / 1024.0, peak / 1024.0,
                100 * cpu / std::chrono::duration<double>(t1 - t0).count());
    std::printf("  tick (5 s): %zu calls, worst %.0f ms late\n", times("policy", t0).size(),
                worstLate("policy", 5s));
    std::printf("  usage report (30 s): %zu calls, worst %.0f ms late\n", times("usage", t0).size(),
                worstLate("usage", 30s));
    if (killedAfter)
        std::printf("  xlogo started → dead: %.0f ms\n", *killedAfter);
    else
        std::printf("  xlogo still ran 10 s after its start\n");
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: %s [seconds] [kill|idle|flood]...\n", argv[0]);
        return 2;
    }
    const std::set<std::string> parts(argv + std::min(argc, 2), argv + argc);
    auto runs = [&](const char* part) { return parts.empty() || parts.contains(part); };
    try {
        XServer x(true);
        if (runs("kill")) {
            killTimes(x.display(), "locked", trialPolicy(true, "tu_do"));
            killTimes(x.display(), "learning apps only", trialPolicy(false, "hoc"));
        }
        if (runs("idle")) {
            idle(x.display(), "locked", trialPolicy(true, "tu_do"), seconds);
            idle(x.display(), "unlocked", trialPolicy(false, "tu_do"), seconds);
        }
        if (runs("flood")) {
            flood(x.display(), seconds, WindowFlood::Churn::remap);
            flood(x.display(), seconds, WindowFlood::Churn::remake);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "agent bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
