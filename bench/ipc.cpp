// Socket throughput and latency of the real tovucontrold against a bare Unix-socket server,
// plus the daemon's resident memory. Run by `make bench`.
#include "DaemonState.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuProtocol/Json.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <pthread.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tovu;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr std::chrono::milliseconds runTime{3000};
const std::string requestLine = "{\"op\":\"policy\"}\n";

sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    path.copy(a.sun_path, sizeof a.sun_path - 1);
    return a;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// One exchange as the agent does it; returns the answer line, empty on failure.
std::string ask(const sockaddr_un& addr, std::string_view line = requestLine) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string answer;
    if (fd < 0) return answer;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        writeAll(fd, line)) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            answer.append(buf, static_cast<std::size_t>(n));
            if (answer.back() == '\n') break;
        }
    }
    close(fd);
    return answer;
}

// Accepts, reads one line, writes a fixed line, closes: the floor for one exchange.
class BareServer {
public:
    BareServer(const std::string& path, std::string reply)
        : reply_(std::move(reply)) {
        unlink(path.c_str());
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto a = unixAddress(path);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            listen(fd_, 128) != 0)
            throw std::runtime_error("bare server: cannot listen on " + path);
        thread_ = std::thread([this] { run(); });
    }
    ~BareServer() {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }

    // CPU time the server thread has used.
    double cpuSeconds() {
        clockid_t id;
        timespec ts{};
        pthread_getcpuclockid(thread_.native_handle(), &id);
        clock_gettime(id, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }

private:
    void run() {
        for (;;) {
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            char buf[4096];
            ssize_t n;
            while ((n = read(c, buf, sizeof buf)) > 0 && buf[n - 1] != '\n') {
            }
            if (write(c, reply_.data(), reply_.size()) < 0) {
                // the client went away; nothing to do
            }
            close(c);
        }
    }

    std::string reply_;
    int fd_ = -1;
    std::thread thread_;
};

// CPU time (user + system) the process has used.
double processCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i)
        fields >> skip;
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Target {
    const char* name;
    sockaddr_un addr;
    std::function<double()> cpuSeconds;
};

// What one target did over all its slices of a run.
struct Tally {
    std::vector<std::chrono::nanoseconds> latencies;
    std::size_t failures = 0;
    Steady::duration elapsed{};
    double cpu = 0;

    void print(const char* name) {
        if (latencies.empty()) {
            std::printf("  %-14s no answers, %zu failures\n", name, failures);
            return;
        }
        std::sort(latencies.begin(), latencies.end());
        const auto at = [&](std::size_t permille) {
            return std::chrono::duration<double, std::micro>(
                       latencies[std::min(latencies.size() - 1,
                                          latencies.size() * permille / 1000)])
                .count();
        };
        std::printf("  %-14s %8.0f req/s  p50 %7.1f us  p99 %7.1f us  max %8.1f us  "
                    "server CPU %5.1f us/req%s\n",
                    name, perSecond(), at(500), at(990), at(1000), cpu * 1e6 / count(),
                    failures ? (" failures " + std::to_string(failures)).c_str() : "");
    }
    double count() const { return static_cast<double>(latencies.size()); }
    double perSecond() const { return count() / std::chrono::duration<double>(elapsed).count(); }
};

// `clients` threads sending back to back for `slice`.
void saturate(const Target& target, int clients, Steady::duration slice, Tally& tally) {
    std::vector<std::vector<std::chrono::nanoseconds>> lat(static_cast<std::size_t>(clients));
    std::atomic<std::size_t> failures{0};
    const double cpu0 = target.cpuSeconds();
    const auto start = Steady::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&, i] {
            auto& mine = lat[static_cast<std::size_t>(i)];
            while (Steady::now() < start + slice) {
                const auto t0 = Steady::now();
                if (ask(target.addr).empty())
                    ++failures;
                else
                    mine.push_back(Steady::now() - t0);
            }
        });
    for (auto& t : threads)
        t.join();
    tally.elapsed += Steady::now() - start;
    tally.cpu += target.cpuSeconds() - cpu0;
    tally.failures += failures;
    for (auto& v : lat)
        tally.latencies.insert(tally.latencies.end(), v.begin(), v.end());
}

// One request every millisecond for `slice`, each timed from its send.
void paced(const Target& target, int, Steady::duration slice, Tally& tally) {
    const double cpu0 = target.cpuSeconds();
    const auto start = Steady::now();
    for (auto next = start; next < start + slice; next += 1ms) {
        std::this_thread::sleep_until(next);
        const auto t0 = Steady::now();
        if (ask(target.addr).empty())
            ++tally.failures;
        else
            tally.latencies.push_back(Steady::now() - t0);
    }
    tally.elapsed += Steady::now() - start;
    tally.cpu += target.cpuSeconds() - cpu0;
}

// The targets take turns in short slices, so that a change in the machine's load mid-run
// weighs on both alike.
template <class Load>
std::vector<Tally> compare(const std::vector<Target>& targets, Load load, int clients) {
    constexpr int rounds = 6;
    std::vector<Tally> tallies(targets.size());
    for (int r = 0; r < rounds; ++r)
        for (std::size_t t = 0; t < targets.size(); ++t)
            load(targets[t], clients, runTime / rounds, tallies[t]);
    for (std::size_t t = 0; t < targets.size(); ++t)
        tallies[t].print(targets[t].name);
    return tallies;
}

// A "Name:   1234 kB" field of a /proc file of the process, in KiB; -1 when missing.
long procKiB(pid_t pid, const char* file, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name + ":", 0) == 0) return std::stol(line.substr(name.size() + 1));
    return -1;
}

// Shared libraries count in VmRSS although other processes share their pages; RssAnon is the
// daemon's own memory and Pss its fair share of the rest.
std::string memory(pid_t pid) {
    return std::to_string(procKiB(pid, "status", "VmRSS")) + " KiB (RssAnon " +
           std::to_string(procKiB(pid, "status", "RssAnon")) + " KiB, RssFile " +
           std::to_string(procKiB(pid, "status", "RssFile")) + " KiB, Pss " +
           std::to_string(procKiB(pid, "smaps_rollup", "Pss")) + " KiB)";
}

pid_t startDaemon(const std::string& dir, const std::string& sock) {
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("TOVUC_DIR", dir.c_str(), 1);
        setenv("TOVUC_SOCK", sock.c_str(), 1);
        setenv("TOVUC_DEV", "1", 1);
        const int log = open((dir + "/daemon.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(log, STDERR_FILENO);
        execl(TOVUCONTROLD_PATH, TOVUCONTROLD_PATH, nullptr);
        _exit(127);
    }
    return pid;
}

} // namespace

int main() {
    char pattern[] = "/tmp/tovu-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    const std::string sock = dir + "/d.sock";
    const std::string bareSock = dir + "/bare.sock";

    // Nothing listens on port 1: every sync pass fails at once and the daemon keeps serving.
    FileIO::write(AgentConfig{"http://127.0.0.1:1", "tok", "dev", "Bin", "nobody"},
                  dir + "/config.json");
    Policy policy;
    policy.serverTime = "2026-03-10T05:00:00Z";
    policy.childName = "Bin";
    policy.mode = "hoc";
    policy.allowedApps = {"org.gnome.Calculator", "org.kde.kalzium", "com.example.words"};
    policy.learningApps = {"org.kde.kalzium"};
    policy.minutesLeft = 90;
    policy.nextCheckSec = 300;
    FileIO::write(DaemonState{policy, std::chrono::system_clock::now(), 0, {}},
                  dir + "/state.json");

    const pid_t daemon = startDaemon(dir, sock);
    const auto addr = unixAddress(sock);
    std::string answer;
    for (int i = 0; i < 500 && answer.empty(); ++i) {
        std::this_thread::sleep_for(10ms);
        answer = ask(addr);
    }
    if (answer.find("\"policy\"") == std::string::npos) {
        std::fprintf(stderr, "tovucontrold did not answer with a policy: %s\n", answer.c_str());
        kill(daemon, SIGKILL);
        waitpid(daemon, nullptr, 0);
        return 1;
    }
    // Let the first (failing) sync pass and the start-up settle.
    std::this_thread::sleep_for(1s);
    const std::string idle = memory(daemon);

    {
        BareServer bare(bareSock, answer);
        const std::vector<Target> targets{
            {"tovucontrold", addr, [daemon] { return processCpuSeconds(daemon); }},
            {"bare server", unixAddress(bareSock), [&bare] { return bare.cpuSeconds(); }}};
        std::printf("op \"policy\", %lld s per target and run, answer %zu bytes\n",
                    static_cast<long long>(runTime.count() / 1000), answer.size());
        for (int clients : {1, 8, 64}) {
            std::printf("%d client%s\n", clients, clients == 1 ? "" : "s");
            const auto t = compare(targets, saturate, clients);
            std::printf("  daemon / bare  %8.2f\n", t[0].perSecond() / t[1].perSecond());
        }
        std::printf("paced at 1000 req/s\n");
        compare(targets, paced, 1);
    }

    std::printf("tovucontrold VmRSS idle:       %s\n", idle.c_str());
    std::printf("tovucontrold VmRSS after load: %s\n", memory(daemon).c_str());

    // Any local user may send lines of a megabyte: a note of one, and as many small entries,
    // eight at once. Once answered, their memory must go back (goal: within 2 MiB of idle).
    const std::string note =
        "{\"op\":\"request\",\"note\":\"" + std::string(990'000, 'x') + "\"}\n";
    std::string entries = "{\"op\":\"usage\",\"entries\":[";
    for (int i = 0; i < 18'000; ++i)
        entries += std::string(i ? "," : "") +
                   R"({"day":"2026-03-10","appId":"a","appName":"A","minutes":1})";
    entries += "]}\n";
    std::vector<std::thread> senders;
    for (int i = 0; i < 8; ++i)
        senders.emplace_back([&, i] { ask(addr, i % 2 ? note : entries); });
    for (auto& t : senders)
        t.join();
    std::this_thread::sleep_for(1s);
    std::printf("tovucontrold VmRSS after 8 lines of 1 MB: %s\n", memory(daemon).c_str());
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    std::filesystem::remove_all(dir);
}
