// The built tovucontrold process, driven over its real socket against a fake parents' server,
// and watching the child's sessions through a stand-in logind.
#include "DaemonState.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"
#include "TovuProtocol/Json.hpp"
#include "support/DaemonFixtures.hpp"
#include "support/DaemonProcess.hpp"
#include "support/FakeLogind.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <pty.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tovu;
using namespace tovu::test;
using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string syncPath = "/api/device/sync";

// Resident memory of the process in KiB.
long residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return -1;
}

// One exchange over the socket at path from a process running as uid and its primary group:
// line (if any) is sent as it is, and the answer comes back as received.
std::string exchangeAs(std::uint32_t uid, const std::string& path, const std::string& line) {
    const passwd* pw = getpwuid(uid);
    if (!pw) return {};
    const std::string exchange = "import socket, sys\n"
                                 "s = socket.socket(socket.AF_UNIX)\n"
                                 "s.connect(sys.argv[1])\n"
                                 "if sys.argv[2]: s.sendall(sys.argv[2].encode())\n"
                                 "sys.stdout.buffer.write(s.makefile('rb').read())\n";
    return run({"setpriv", "--reuid=" + std::to_string(uid),
                "--regid=" + std::to_string(pw->pw_gid), "--clear-groups", "/usr/bin/python3", "-c",
                exchange, path, line},
               "")
        .value_or("");
}

class DaemonProcessTest : public ::testing::Test {
protected:
    TempDir dir;
    TempDir sockDir; // searchable by the child account, unlike dir
    FakeServer server;
    std::string sock = sockDir.file("d.sock");

    void SetUp() override { fs::permissions(sockDir.path(), fs::perms(0711)); }

    void pair() {
        FileIO::write(AgentConfig{server.url(), "tok", "dev-1", "Bin", "nobody"},
                      dir.file("config.json"));
    }
    std::map<std::string, std::string> env() const {
        return {{"TOVUC_DIR", dir.path().string()}, {"TOVUC_SOCK", sock}};
    }
    std::optional<DaemonState> saved() const {
        return FileIO::read<DaemonState>(dir.file("state.json"));
    }
};

} // namespace

TEST_F(DaemonProcessTest, ConfigWrittenAfterStartPairsItToServeTheChildAndRefuseOthers) {
    const auto child = uidOf("nobody");
    const auto other = uidOf("daemon");
    if (geteuid() != 0 || !child || !other)
        GTEST_SKIP() << "needs root and the accounts nobody and daemon";
    server.reply("POST", syncPath, 200, Json::encode(makePolicy()));
    DaemonProcess d(TOVUCONTROLD_PATH, env());
    ASSERT_TRUE(d.waitForLog("] Chưa ghép — chờ tovucontrol-setup\n")) << d.log();
    pair();
    // The unpaired loop looks again every 30 s, and syncs before anyone asks.
    ASSERT_TRUE(waitUntil([&] { return saved() && saved()->policy == makePolicy(); }, 45s));

    const auto answer = exchangeAs(*child, sock, "{\"op\":\"policy\"}\n");
    const auto fromChild = Json::tryDecode<IpcResponse>(answer);
    ASSERT_TRUE(fromChild && fromChild->ok) << answer;
    EXPECT_EQ(fromChild->policy, makePolicy());
    EXPECT_EQ(fs::status(dir.file("state.json")).permissions(), fs::perms(0600));
    // Answered before it has written a byte.
    EXPECT_EQ(exchangeAs(*other, sock, ""),
              "{\"error\":\"Không phải tài khoản được quản lý\",\"ok\":false}\n");

    const int status = d.terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(DaemonProcessTest, MemoryOfLargeLinesGoesBackOnceTheyAreAnswered) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer holds freed memory back on purpose";
#endif
    auto e = env();
    e["TOVUC_DEV"] = "1";
    DaemonProcess d(TOVUCONTROLD_PATH, e);
    const auto unpaired = IpcResponse::failure("Máy chưa ghép với bố mẹ");
    ASSERT_TRUE(waitUntil([&] { return Ipc::call(op("policy"), sock) == unpaired; }));
    const long idle = residentKiB(d.pid());
    // A megabyte in one text, and in many small ones.
    auto note = op("request");
    note.note = std::string(990'000, 'x');
    auto many = op("usage");
    many.entries = std::vector<UsageEntry>(18'000, {"2026-03-10", "a", "A", 1});
    std::vector<std::future<IpcResponse>> answers;
    for (int i = 0; i < 8; ++i)
        answers.push_back(std::async(std::launch::async,
                                     [&, i] { return Ipc::call(i % 2 ? note : many, sock); }));
    for (auto& answer : answers)
        answer.wait();
    EXPECT_TRUE(waitUntil([&] { return residentKiB(d.pid()) <= idle + 2048; }, 30s))
        << residentKiB(d.pid()) << " KiB, idle " << idle << " KiB";
}

namespace {

// The daemon in trial mode for the child "nobody", whose sessions a stand-in logind shows.
class DaemonSessionTest : public DaemonProcessTest {
protected:
    void SetUp() override {
        DaemonProcessTest::SetUp();
        if (geteuid() != 0 || !child || platform::isAdmin("nobody"))
            GTEST_SKIP() << "needs root and the account nobody, not an administrator";
        fs::copy_file(python, otherPython);
    }
    // Python stands for the agent: its calls keep the agent alive in the status.
    void start(const Policy& policy) {
        server.reply("POST", syncPath, 200, Json::encode(policy));
        pair();
        auto e = env();
        e.insert({{"TOVUC_DEV", "1"}, {"TOVUC_LOCK_GRACE", "1"}, {"TOVUC_AGENT", python}});
        daemon.emplace(TOVUCONTROLD_PATH, e);
        ASSERT_TRUE(waitUntil([&] { return Ipc::call(op("policy"), sock).policy == policy; }))
            << daemon->log();
    }
    // Calls the daemon every second from session id, saying it holds the display, as the
    // agent or as a script run by a copy of the same interpreter; each call adds a byte to the
    // file calls/id.
    std::unique_ptr<Child> caller(const std::string& id, const std::string& display, bool agent) {
        ScopedEnv session("XDG_SESSION_ID", id);
        const std::string line = R"({"display":")" + display + R"(","op":"policy"})";
        return std::make_unique<Child>(
            std::vector<std::string>{
                agent ? python : otherPython, "-c",
                "import socket, time\nwhile True:\n s = socket.socket(socket.AF_UNIX)\n"
                " s.connect('" +
                    sock + "')\n s.sendall(b'" + line + "\\n')\n s.recv(4096)\n open('" +
                    calls.file(id) + "', 'a').write('x')\n time.sleep(1)"},
            display);
    }
    std::size_t callsFrom(const std::string& id) {
        return FileIO::readText(calls.file(id)).value_or("").size();
    }
    bool called(const std::string& call) {
        return waitUntil([&] {
            const auto calls = logind.calls();
            return std::find(calls.begin(), calls.end(), call) != calls.end();
        });
    }

    const std::optional<std::uint32_t> child = uidOf("nobody");
    TempDir calls;
    const std::string python = fs::canonical("/usr/bin/python3").string();
    const std::string otherPython = calls.file("python");
    SystemBus bus;
    FakeLogind logind{bus};
    std::optional<DaemonProcess> daemon;
};

} // namespace

TEST_F(DaemonSessionTest, LockedComputerLocksThenEndsUnguardedSessionsAndEndsConsolesAtOnce) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    auto console = loginSession("c2", "tty", *child);
    console.tty = std::string(ptsname(master)).substr(5);
    logind.add(loginSession("c1", "x11", *child, false));
    logind.add(console);
    logind.add(loginSession("c3", "x11", *child, false));
    logind.add(loginSession("c9", "x11", *child + 1));
    auto locked = makePolicy(10);
    locked.locked = true;
    locked.lockReason = "het_gio";
    start(locked);

    // Neither the agent on a display of its own nor a script guards the session.
    const auto elsewhere = caller("c1", ":7", true), script = caller("c1", ":0", false);
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

// The agent runs, but on a display of its own: the status says which session it leaves uncovered.
TEST_F(DaemonSessionTest, StatusSaysWhichSessionGoesUncovered) {
    logind.add(loginSession("c1", "x11", *child));
    logind.add(loginSession("c2", "tty", *child));
    start(makePolicy(10));
    auto agent = caller("c1", ":7", true);

    const auto reported = [&](const std::string& reason) {
        json status{{"protected", reason.empty()},
                    {"helperAlive", true},
                    {"childIsAdmin", false},
                    {"childUser", "nobody"}};
        if (!reason.empty()) status["reason"] = reason;
        return waitUntil([&] { return server.requests().back().json()["status"] == status; }, 30s);
    };
    struct Row {
        const char* what;
        std::function<void()> change;
        std::string reason;
    };
    const std::vector<Row> rows{
        {"a text console", [] {},
         "Con đang đăng nhập ở màn hình dòng lệnh — TovuControl không trông được phiên này."},
        {"a Wayland session",
         [&] {
             logind.remove("c2");
             logind.add(loginSession("c3", "wayland", *child));
         },
         "Con đang dùng phiên Wayland — TovuControl chỉ trông được phiên X11. Chọn phiên X11 khi "
         "đăng nhập."},
        {"an X11 session without the agent, beside one that is closing",
         [&] { logind.change("c3", [](LoginSession& s) { s.state = "closing"; }); },
         "Phiên đang mở của con không có ứng dụng TovuControl (đã bị tắt hoặc chưa chạy)."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        row.change();
        EXPECT_TRUE(reported(row.reason));
    }

    agent.reset();
    logind.remove("c3");
    agent = caller("c1", ":0", true);
    EXPECT_TRUE(reported(""));
}
