// The parents' server under the load of many family computers: syncs per second on one core
// with their latency, for SQLite and for PostgreSQL beside pgbench running a write transaction
// of the same size on the same cluster; the same under 1,000 slow-header connections; 10,000
// computers each holding a wait (memory, idle CPU), and how soon a parent's act reaches them.
// The server runs pinned to CPU 0, PostgreSQL and the simulated computers on CPU 1. Run by
// `make bench`.
#include "support/ParentsServer.hpp"
#include "support/XServer.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <regex>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace tovu::test;
using nlohmann::json;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

const std::string pin = "/usr/bin/taskset";
const char* const days[] = {"2026-12-05", "2026-12-06", "2026-12-07"};

struct Device {
    std::string token;
    std::size_t child = 0;
    int syncs = 0;
};

struct Result {
    double perSecond = 0;
    double p50 = 0, p95 = 0, p99 = 0; // milliseconds
    long errors = 0;
};

Result summary(std::vector<double> ms, double seconds, long errors) {
    std::sort(ms.begin(), ms.end());
    Result r{static_cast<double>(ms.size()) / seconds, 0, 0, 0, errors};
    if (!ms.empty()) {
        r.p50 = ms[ms.size() / 2];
        r.p95 = ms[ms.size() * 95 / 100];
        r.p99 = ms[ms.size() * 99 / 100];
    }
    return r;
}

long status(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(field)) return std::stol(line.substr(std::string(field).size()));
    return -1;
}

// CPU time the process has used, in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    long user = 0, system = 0;
    for (int i = 3; i < 14; ++i)
        fields >> skip;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// What a daemon sends: its status and three days of usage; the minutes grow now and then.
std::string syncBody(Device& d) {
    json usage = json::array();
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
                {"agentVersion", "linux-0.1.0"},
                {"osVersion", "Linux 6.1"}}
        .dump();
}

// Syncs from `connections` keep-alive connections for `length`: paced at `rate` per second in
// all, or as fast as the server answers when rate is 0. Every 100th call is a request for more
// time followed by its state.
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
                auto& d = all[static_cast<std::size_t>(i * connections + c) % all.size()];
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
    std::vector<double> ms;
    for (auto& l : latencies)
        ms.insert(ms.end(), l.begin(), l.end());
    return summary(std::move(ms), std::chrono::duration<double>(Steady::now() - start).count(),
                   errors);
}

// A family with `children` children and `each` computers each, paired through the console;
// childIds gets the children's ids when given.
std::vector<Device> pairFamily(const std::string& url, int children, int each,
                               std::vector<std::string>* childIds = nullptr) {
    TestFamily family(url, "bench");
    std::vector<Device> all;
    for (int c = 0; c < children; ++c) {
        const auto child = c == 0 ? family.childId : family.addChild("Con " + std::to_string(c));
        if (childIds) childIds->push_back(child);
        for (int d = 0; d < each; ++d)
            all.push_back({family.pair(child), static_cast<std::size_t>(c)});
    }
    return all;
}

// A TCP connection from a loopback address of its own: the server allows 256 per address.
int connectFrom(int port, int n) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F020000u + static_cast<unsigned>(n / 200) * 256 + 1);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// `count` connections that send their head one byte a second, opened again as the server
// closes them, for as long as the object lives.
class SlowHeads {
public:
    SlowHeads(int port, int count)
        : fds_(static_cast<std::size_t>(count), -1) {
        thread_ = std::thread([this, port] {
            while (!done_) {
                for (std::size_t i = 0; i < fds_.size(); ++i) {
                    if (fds_[i] < 0) fds_[i] = connectFrom(port, static_cast<int>(i) + 1000);
                    if (fds_[i] >= 0 && ::send(fds_[i], "G", 1, MSG_NOSIGNAL) != 1) {
                        close(fds_[i]);
                        fds_[i] = -1;
                    }
                }
                std::this_thread::sleep_for(1s);
            }
        });
    }
    ~SlowHeads() {
        done_ = true;
        thread_.join();
        for (int fd : fds_)
            if (fd >= 0) close(fd);
    }

private:
    std::vector<int> fds_;
    std::atomic<bool> done_ = false;
    std::thread thread_;
};

void printRow(const char* name, const Result& r, pid_t pid) {
    std::printf("| %-44s | %6.0f | %6.1f | %6.1f | %5.1f | %ld |\n", name, r.perSecond, r.p50,
                r.p99, status(pid, "VmRSS:") / 1024.0, r.errors);
    std::fflush(stdout);
}

void syncs(const char* store, ParentsServer& s, std::vector<Device>& all) {
    const std::string name(store);
    // Each device's first sync stores all its usage; it comes once after pairing.
    printRow((name + ": first syncs, 100/s").c_str(), load(s.port(), all, 8, 100, 10s),
             s.process().pid());
    printRow((name + ": every 10 s, 100/s").c_str(), load(s.port(), all, 8, 100, 10s),
             s.process().pid());
    printRow((name + ": paced at 2,000/s").c_str(), load(s.port(), all, 16, 2000, 10s),
             s.process().pid());
    printRow((name + ": as fast as it answers").c_str(), load(s.port(), all, 8, 0, 10s),
             s.process().pid());
    SlowHeads slow(s.port(), 1000);
    std::this_thread::sleep_for(2s);
    printRow((name + ": as fast, 1,000 slow heads beside").c_str(), load(s.port(), all, 8, 0, 10s),
             s.process().pid());
}

// pgbench with a transaction that writes what a sync writes, on the same cluster: tps and the
// mean latency.
std::string pgbench(const PgCluster& pg) {
    const auto psql = [&](const std::string& sql) {
        return run({"/usr/lib/postgresql/15/bin/psql", "-q", "-h", pg.socketDir(), "-U", "postgres",
                    "-c", sql},
                   "");
    };
    psql(
        "CREATE TABLE b_devices (id INT PRIMARY KEY, last_seen BIGINT, status TEXT, "
        "digest TEXT); INSERT INTO b_devices SELECT g, 0, '{}', '' FROM generate_series(1, 1000) g;"
        "CREATE TABLE b_usage (device_id INT, day TEXT, app_id TEXT, app_name TEXT, "
        "minutes BIGINT, PRIMARY KEY (device_id, day, app_id));"
        "CREATE TABLE b_events (id BIGSERIAL PRIMARY KEY, family_id TEXT, kind TEXT, "
        "data TEXT, at BIGINT)");
    std::string rows;
    for (const auto* day : days)
        for (int app = 0; app < 5; ++app)
            rows += std::string(rows.empty() ? "" : ", ") + "(:d, '" + day + "', 'org.example.app" +
                    std::to_string(app) + "', 'Ứng dụng', :m)";
    TempDir dir;
    const auto script = dir.file("sync.sql");
    std::ofstream(script) << "\\set d random(1, 1000)\n\\set m random(10, 100)\nBEGIN;\n"
                          << "UPDATE b_devices SET last_seen = last_seen WHERE id = :d;\n"
                          << "SELECT * FROM b_devices WHERE id = :d;\n"
                          << "SELECT day, SUM(minutes) FROM b_usage WHERE device_id = :d "
                             "GROUP BY day;\n"
                          << "DELETE FROM b_usage WHERE device_id = :d AND day IN ('2026-12-05', "
                             "'2026-12-06', '2026-12-07');\n"
                          << "INSERT INTO b_usage VALUES " << rows
                          << " ON CONFLICT (device_id, day, app_id) DO UPDATE SET "
                             "minutes = excluded.minutes;\n"
                          << "INSERT INTO b_events (family_id, kind, data, at) VALUES ('f', "
                             "'changed', '{\"what\":\"usage\"}', 0);\n"
                          << "UPDATE b_devices SET last_seen = 1, status = '{}', digest = 'x' "
                             "WHERE id = :d;\n"
                          << "SELECT COUNT(*) FROM b_usage WHERE device_id = :d;\nCOMMIT;\n";
    const auto out = run({pin,
                          "-c",
                          "1",
                          "/usr/lib/postgresql/15/bin/pgbench",
                          "-n",
                          "-M",
                          "prepared",
                          "-c",
                          "8",
                          "-j",
                          "1",
                          "-T",
                          "10",
                          "-f",
                          script,
                          "-h",
                          pg.socketDir(),
                          "-U",
                          "postgres",
                          "postgres"},
                         "")
                         .value_or("");
    std::smatch tps, latency;
    std::regex_search(out, tps, std::regex(R"(tps = ([0-9.]+))"));
    std::regex_search(out, latency, std::regex(R"(latency average = ([0-9.]+) ms)"));
    return tps.size() > 1 ? std::string(tps[1]) + " tps, mean " + std::string(latency[1]) + " ms"
                          : "pgbench failed: " + out;
}

// Computers holding their wait, on raw sockets watched by one thread.
class Waits {
public:
    Waits(int port, std::vector<Device>& all, const std::vector<std::int64_t>& revisions)
        : all_(all)
        , epoll_(epoll_create1(0)) {
        for (std::size_t i = 0; i < all.size(); ++i) {
            const int fd = connectFrom(port, static_cast<int>(i));
            if (fd < 0) continue;
            conns_.push_back({fd, i, revisions[all[i].child], {}, false});
            epoll_event ev{EPOLLIN, {.u64 = conns_.size() - 1}};
            epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        }
        for (auto& c : conns_)
            ask(c);
        thread_ = std::thread([this] { watch(); });
    }
    ~Waits() {
        done_ = true;
        thread_.join();
        for (auto& c : conns_)
            close(c.fd);
        close(epoll_);
    }

    std::size_t connected() const { return conns_.size(); }
    // The waits the server holds: their heads have come.
    std::size_t held() {
        std::lock_guard lock(mutex_);
        return heads_;
    }
    // Milliseconds from `since` to each wake of the child's computers, once all have woken.
    std::vector<double> wakes(std::size_t child, Steady::time_point since, std::size_t expected) {
        std::unique_lock lock(mutex_);
        woke_.wait_for(lock, 10s, [&] { return woken_[child].size() >= expected; });
        std::vector<double> ms;
        for (const auto t : woken_[child])
            ms.push_back(std::chrono::duration<double, std::milli>(t - since).count());
        woken_.erase(child);
        return ms;
    }

private:
    struct Conn {
        int fd;
        std::size_t device;
        std::int64_t revision;
        std::string in;
        bool head;
    };

    void ask(Conn& c) {
        const auto request = "GET /api/device/wait?revision=" + std::to_string(c.revision) +
                             " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                             all_[c.device].token + "\r\n\r\n";
        [[maybe_unused]] const auto n = ::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL);
    }

    void watch() {
        static const std::regex woke(R"re("changed":true,"revision":(\d+))re");
        epoll_event events[256];
        char buf[4096];
        while (!done_) {
            const int n = epoll_wait(epoll_, events, 256, 100);
            for (int i = 0; i < n; ++i) {
                auto& c = conns_[events[i].data.u64];
                const auto got = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
                if (got <= 0) continue;
                c.in.append(buf, static_cast<std::size_t>(got));
                std::lock_guard lock(mutex_);
                if (!c.head && c.in.find("\r\n\r\n") != std::string::npos) {
                    c.head = true;
                    ++heads_;
                }
                std::smatch m;
                if (!std::regex_search(c.in, m, woke)) continue;
                woken_[all_[c.device].child].push_back(Steady::now());
                woke_.notify_all();
                c.revision = std::stoll(m[1]);
                c.in.clear();
                c.head = false;
                --heads_;
                ask(c);
            }
        }
    }

    std::vector<Device>& all_;
    int epoll_;
    std::vector<Conn> conns_;
    std::mutex mutex_;
    std::condition_variable woke_;
    std::size_t heads_ = 0;
    std::map<std::size_t, std::vector<Steady::time_point>> woken_;
    std::atomic<bool> done_ = false;
    std::thread thread_;
};

void waits() {
    constexpr int children = 100, each = 100;
    TempDir data;
    ParentsServer s({pin, "-c", "0", TOVUCONTROL_SERVER, "--data", data.file("data"),
                     "--setup-token", "bench"});
    std::vector<std::string> ids;
    auto all = pairFamily(s.url(), children, each, &ids);
    ConsoleClient console(s.url());
    console.post("login", {{"name", "Mẹ"}, {"password", TestFamily::password}});
    // Each child's revision, from a sync of its first computer.
    std::vector<std::int64_t> revisions;
    httplib::Client http("127.0.0.1", s.port());
    for (int c = 0; c < children; ++c) {
        const auto r =
            http.Post("/api/device/sync", {{"Authorization", "Bearer " + all[c * each].token}},
                      syncBody(all[c * each]), "application/json");
        revisions.push_back(r ? json::parse(r->body).value("revision", 0) : 0);
    }
    Waits held(s.port(), all, revisions);
    waitUntil([&] { return held.held() == held.connected(); }, 60s);
    // Idle: nothing happens but the waits' heartbeats.
    std::this_thread::sleep_for(5s);
    const auto cpuBefore = cpuSeconds(s.process().pid());
    std::this_thread::sleep_for(30s);
    const double idle = (cpuSeconds(s.process().pid()) - cpuBefore) / 30 * 100;
    std::printf("\n%zu computers holding a wait on one process: %zu held, RSS %.1f MB, "
                "idle CPU %.2f %% of a core.\n",
                held.connected(), held.held(), status(s.process().pid(), "VmRSS:") / 1024.0, idle);
    // A parent locks or unlocks a child; each of its 100 waiting computers hears of it.
    std::vector<double> ms;
    for (int i = 0; i < 40; ++i) {
        const auto child = static_cast<std::size_t>(i * 37 % children);
        const auto since = Steady::now();
        console.post("children/" + ids[child] + (i % 4 < 2 ? "/lock" : "/unlock"));
        const auto woke = held.wakes(child, since, each);
        ms.insert(ms.end(), woke.begin(), woke.end());
    }
    const auto r = summary(ms, 1, 0);
    std::printf("A parent's act to the computers' wake-up (%zu wakes): p50 %.1f ms, p95 %.1f ms, "
                "p99 %.1f ms.\n",
                ms.size(), r.p50, r.p95, r.p99);
}

} // namespace

// server [sqlite] [postgresql] [waits]: the parts named, or all of them.
int main(int argc, char** argv) {
    const std::vector<std::string> parts(argv + 1, argv + argc);
    const auto wanted = [&](const char* part) {
        return parts.empty() || std::find(parts.begin(), parts.end(), part) != parts.end();
    };
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(1, &cpus);
    sched_setaffinity(0, sizeof cpus, &cpus);

    std::printf("1,000 computers syncing their status and three days of usage (15 entries); "
                "latency in ms, resident memory in MB.\n\n"
                "| server | syncs/s | p50 | p99 | RSS | errors |\n|---|---|---|---|---|---|\n");
    if (wanted("sqlite")) {
        TempDir data;
        ParentsServer s({pin, "-c", "0", TOVUCONTROL_SERVER, "--data", data.file("data"),
                         "--setup-token", "bench"});
        auto all = pairFamily(s.url(), 100, 10);
        syncs("SQLite", s, all);
    }
    if (wanted("postgresql") && PgCluster::available()) {
        PgCluster pg;
        pg.pin(1);
        ParentsServer s(
            {pin, "-c", "0", TOVUCONTROL_SERVER, "--database", pg.url(), "--setup-token", "bench"});
        auto all = pairFamily(s.url(), 100, 10);
        syncs("PostgreSQL", s, all);
        std::printf("\npgbench, the same writes in one transaction, 8 clients, same cluster: %s\n",
                    pgbench(pg).c_str());
    }
    if (wanted("waits")) waits();
}
