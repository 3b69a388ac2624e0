// The parents' server under the load of many family computers: syncs per second on one core,
// latency and resident memory, for SQLite and PostgreSQL. The server runs pinned to CPU 0, the
// simulated devices on CPU 1. Run by `make bench`.
#include "support/ParentsServer.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sched.h>
#include <thread>

using namespace tovu::test;
using nlohmann::json;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int devices = 1000;
constexpr int childrenCount = 100;

struct Device {
    std::string token;
    int syncs = 0;
};

struct Result {
    double perSecond = 0;
    double p50 = 0, p99 = 0; // milliseconds
    long errors = 0;
};

long rssKb(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(field)) return std::stol(line.substr(std::string(field).size()));
    return -1;
}

// What a daemon sends: its status and three days of usage; the minutes grow now and then.
std::string syncBody(Device& d) {
    json usage = json::array();
    const char* days[] = {"2026-12-05", "2026-12-06", "2026-12-07"};
    for (const auto* day : days)
        for (int app = 0; app < 5; ++app)
            usage.push_back({{"day", day},
                             {"appId", "org.example.app" + std::to_string(app)},
                             {"appName", "Ứng dụng " + std::to_string(app)},
                             {"minutes", 10 + app + d.syncs / 6}});
    ++d.syncs;
    return json{{"status",
                 {{"protected", true},
                  {"helperAlive", true},
                  {"childIsAdmin", false},
                  {"childUser", "bin"}}},
                {"usage", usage},
                {"apps", json::array()},
                {"agentVersion", "mac-0.1.0"},
                {"osVersion", "Linux 6.1"}}
        .dump();
}

// Syncs from `connections` keep-alive connections for `length`: paced at `rate` per second
// in all, or as fast as the server answers when rate is 0. Every 100th call is a request
// for more time followed by its state.
Result load(int port, std::vector<Device>& all, int connections, double rate,
            std::chrono::seconds length) {
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(connections));
    std::atomic<long> errors = 0;
    const auto start = Steady::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c)
        threads.emplace_back([&, c] {
            httplib::Client http("127.0.0.1", port);
            http.set_keep_alive(true);
            http.set_tcp_nodelay(true); // as curl in the daemon
            auto& mine = latencies[static_cast<std::size_t>(c)];
            const auto period = rate > 0 ? std::chrono::duration<double>(connections / rate)
                                         : std::chrono::duration<double>(0);
            for (long i = 0;; ++i) {
                const auto due = start + std::chrono::duration_cast<Steady::duration>(period * i);
                if (due - start >= length || Steady::now() - start >= length) break;
                std::this_thread::sleep_until(due);
                auto& d = all[static_cast<std::size_t>((i * connections + c) % devices)];
                const httplib::Headers auth{{"Authorization", "Bearer " + d.token}};
                const auto sent = Steady::now();
                if (i % 100 == 99) {
                    const auto r =
                        http.Post("/api/device/requests", auth,
                                  R"({"kind":"them_gio","minutes":15})", "application/json");
                    const auto id = r && r->status == 200
                                        ? json::parse(r->body).value("id", std::string())
                                        : std::string();
                    if (id.empty() || !http.Get(("/api/device/requests/" + id).c_str(), auth))
                        ++errors;
                    continue;
                }
                const auto r = http.Post("/api/device/sync", auth, syncBody(d), "application/json");
                if (!r || r->status != 200) ++errors;
                mine.push_back(
                    std::chrono::duration<double, std::milli>(Steady::now() - sent).count());
            }
        });
    for (auto& t : threads)
        t.join();
    std::vector<double> all_;
    for (auto& l : latencies)
        all_.insert(all_.end(), l.begin(), l.end());
    std::sort(all_.begin(), all_.end());
    Result r;
    const auto elapsed = std::chrono::duration<double>(Steady::now() - start).count();
    r.perSecond = static_cast<double>(all_.size()) / elapsed;
    if (!all_.empty()) {
        r.p50 = all_[all_.size() / 2];
        r.p99 = all_[all_.size() * 99 / 100];
    }
    r.errors = errors;
    return r;
}

// A family of 100 children with ten computers each, paired through the console.
std::vector<Device> pairFamily(int port) {
    ConsoleClient console("http://127.0.0.1:" + std::to_string(port));
    console.post("setup", {{"setupToken", "bench"},
                           {"familyName", "Nhà thử"},
                           {"parentName", "Mẹ"},
                           {"password", "mật khẩu dài"},
                           {"timeZone", "Asia/Ho_Chi_Minh"}});
    httplib::Client http("127.0.0.1", port);
    std::vector<Device> all;
    for (int c = 0; c < childrenCount; ++c) {
        const auto child = console.post("children", {{"name", "Con " + std::to_string(c)}})
                               .body.value("id", std::string());
        for (int d = 0; d < devices / childrenCount; ++d) {
            const auto code = console.post("children/" + child + "/pairing-code")
                                  .body.value("code", std::string());
            const json body{{"code", code},
                            {"platform", "linux"},
                            {"deviceName", "Máy " + std::to_string(d)},
                            {"osVersion", "Linux 6.1"},
                            {"agentVersion", "mac-0.1.0"}};
            const auto r = http.Post("/api/pair", body.dump(), "application/json");
            all.push_back({json::parse(r->body).value("token", std::string())});
        }
    }
    return all;
}

void report(const char* name, int port, pid_t pid, std::vector<Device>& all) {
    // Each device's first sync stores all its usage; it comes once after pairing, here all at once.
    const auto first = load(port, all, 8, devices / 10.0, 10s);
    const auto natural = load(port, all, 8, devices / 10.0, 10s);
    const auto paced = load(port, all, 16, 2000, 10s);
    const auto most = load(port, all, 8, 0, 10s);
    std::printf("| %-30s | %5.1f | %5.1f | %6.0f | %5.1f | %5.1f | %6.0f | %5.1f | %5.1f | %6.0f | "
                "%5.1f | %5.1f | %5.1f | %5.1f | %ld |\n",
                name, first.p50, first.p99, natural.perSecond, natural.p50, natural.p99,
                paced.perSecond, paced.p50, paced.p99, most.perSecond, most.p50, most.p99,
                rssKb(pid, "VmRSS:") / 1024.0, rssKb(pid, "VmHWM:") / 1024.0,
                first.errors + natural.errors + paced.errors + most.errors);
    std::fflush(stdout);
}

} // namespace

int main() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(1, &cpus);
    sched_setaffinity(0, sizeof cpus, &cpus);
    const std::string pin = "/usr/bin/taskset";

    std::printf("1,000 devices: each one's first sync after pairing (100/s), then syncing every "
                "10 s (100/s), then paced at 2,000/s, then as fast as one core answers; latency "
                "in ms, memory in MB.\n\n"
                "| server                         | first p50 | p99 | 100/s | p50 | p99 | 2000/s "
                "| p50 | p99 | max/s | p50 | p99 | RSS | peak | errors |\n"
                "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    {
        TempDir data;
        ParentsServer s({pin, "-c", "0", TOVUCONTROL_SERVER, "--data", data.file("data"),
                         "--setup-token", "bench"});
        auto all = pairFamily(s.port());
        report("tovucontrol-server, SQLite", s.port(), s.process().pid(), all);
    }
    if (PgCluster::available()) {
        PgCluster pg;
        ParentsServer s(
            {pin, "-c", "0", TOVUCONTROL_SERVER, "--database", pg.url(), "--setup-token", "bench"});
        auto all = pairFamily(s.port());
        report("tovucontrol-server, PostgreSQL", s.port(), s.process().pid(), all);
    }
}
