// How soon a parent's act in the console is in force on the family computer: the built daemon
// holding its waiting request on the built server, the console locking and unlocking, and the
// time until the daemon's socket answers with the new policy. On SQLite in one server process,
// and on PostgreSQL with the console on one process and the computer on another. Run by
// `make bench`.
#include "TovuCore/Ipc.hpp"
#include "TovuCore/Paths.hpp"
#include "support/DaemonFixtures.hpp"
#include "support/DaemonProcess.hpp"
#include "support/ParentsServer.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <thread>

using namespace tovu;
using namespace tovu::test;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

const std::string setupToken = "setup-token-for-bench";
constexpr int rounds = 60;

void measure(const char* what, const std::string& consoleUrl, const std::string& computerUrl) {
    TestFamily family(consoleUrl, setupToken);
    TempDir dir, apps;
    // An account that does not exist: the daemon has no sessions to hold, only rules to keep.
    FileIO::write(
        AgentConfig{computerUrl, family.pair(family.childId), "bench", "Bin", "tovu-bench-nobody"},
        dir.file("config.json"));
    const auto sock = dir.file("d.sock");
    DaemonProcess daemon(TOVUCONTROLD_PATH, {{"TOVUC_DIR", dir.path().string()},
                                             {"TOVUC_SOCK", sock},
                                             {"TOVUC_DEV", "1"},
                                             {"TOVUC_APPS_DIR", apps.path().string()}});
    const auto locked = [&]() -> std::optional<bool> {
        const auto p = Ipc::call(op("policy"), sock).policy;
        return p ? std::optional(p->locked) : std::nullopt;
    };
    if (!waitUntil([&] { return locked().has_value(); })) {
        std::printf("%s: the daemon never synced\n%s", what, daemon.log().c_str());
        return;
    }
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        const bool lock = i % 2 == 0;
        // The computer's next wait is under way, as it is between a parent's acts.
        std::this_thread::sleep_for(200ms);
        const auto start = Steady::now();
        family.console.post("children/" + family.childId + (lock ? "/lock" : "/unlock"));
        if (!waitUntil([&] { return locked() == lock; }, 30s)) {
            std::printf("%s: round %d never arrived\n", what, i);
            return;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s p50 %7.1f ms   p95 %7.1f ms   max %7.1f ms   (%d acts)\n", what,
                ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.back(), rounds);
}

} // namespace

int main() {
    std::printf("console act -> in force on the computer (lock, unlock; the daemon's own "
                "schedule is a minute)\n");
    {
        TempDir data;
        ParentsServer server(
            {TOVUCONTROL_SERVER, "--data", data.file("data"), "--setup-token", setupToken});
        measure("SQLite, one server process", server.url(), server.url());
    }
    if (PgCluster::available()) {
        PgCluster pg;
        ParentsServer acting(
            {TOVUCONTROL_SERVER, "--database", pg.url(), "--setup-token", setupToken});
        ParentsServer waiting({TOVUCONTROL_SERVER, "--database", pg.url()});
        measure("PostgreSQL, console and computer apart", acting.url(), waiting.url());
    }
}
