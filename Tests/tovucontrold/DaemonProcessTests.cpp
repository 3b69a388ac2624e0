// The built tovucontrold process, driven over its real socket against a fake parents' server,
// and watching the child's sessions through a stand-in logind.
#include "Daemon.hpp"
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
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <pty.h>
#include <pwd.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

using namespace tovu;
using namespace tovu::test;
using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string syncPath = "/api/device/sync";

// Runs argv as uid and its primary group, without other groups; its output, or "<failed>".
std::string runAs(std::uint32_t uid, std::vector<std::string> argv) {
    const passwd* pw = getpwuid(uid);
    if (!pw) return "<failed>";
    argv.insert(argv.begin(), {"setpriv", "--reuid=" + std::to_string(uid),
                               "--regid=" + std::to_string(pw->pw_gid), "--clear-groups"});
    return run(argv, "").value_or("<failed>");
}

// One exchange over the socket at path from a process running as uid: line (if any) is sent as
// it is, and the answer comes back as received.
std::string exchangeAs(std::uint32_t uid, const std::string& path, const std::string& line) {
    const std::string exchange = "import socket, sys\n"
                                 "s = socket.socket(socket.AF_UNIX)\n"
                                 "s.connect(sys.argv[1])\n"
                                 "if sys.argv[2]: s.sendall(sys.argv[2].encode())\n"
                                 "sys.stdout.buffer.write(s.makefile('rb').read())\n";
    return runAs(uid, {"/usr/bin/python3", "-c", exchange, path, line});
}

class DaemonProcessTest : public ::testing::Test {
protected:
    TempDir dir;
    TempDir sockDir; // searchable by the child account, unlike dir
    FakeServer server;
    std::string sock = sockDir.file("d.sock");

    void SetUp() override { fs::permissions(sockDir.path(), fs::perms(0711)); }

    void pair(const std::string& child = "nobody") {
        FileIO::write(AgentConfig{server.url(), "tok", "dev-1", "Bin", child},
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
    ASSERT_TRUE(fromChild && fromChild->ok) << answer << d.log();
    EXPECT_EQ(fromChild->policy, makePolicy());
    EXPECT_EQ(fs::status(dir.file("state.json")).permissions(), fs::perms(0600));
    // Answered before it has written a byte.
    EXPECT_EQ(exchangeAs(*other, sock, ""),
              "{\"error\":\"Không phải tài khoản được quản lý\",\"ok\":false}\n");

    const int status = d.terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

namespace {

// The daemon in trial mode for a child account of the test's own (while locked the daemon ends
// the child's programs, which must not be another test's), whose sessions a stand-in logind
// shows, with a stand-in lock screen: a program that opens a session of the account "daemon" on
// console 8.
class DaemonSessionTest : public DaemonProcessTest {
protected:
    void SetUp() override {
        DaemonProcessTest::SetUp();
        if (geteuid() != 0 || !lockUser) GTEST_SKIP() << "needs root and the account daemon";
        account.emplace();
        child = uidOf(account->name.c_str());
    }
    void start(const Policy& policy) {
        server.reply("POST", syncPath, 200, Json::encode(policy));
        pair(account->name);
        auto e = env();
        const std::string lock = "echo $$ > " + dir.file("lock.pid") +
                                 " && busctl --system call org.freedesktop.login1 "
                                 "/org/freedesktop/login1 vn.tovu.test.Logind Open uusu $$ " +
                                 std::to_string(*lockUser) +
                                 " lock-screen 8 >/dev/null && exec sleep 600";
        // No installed apps: while locked, the daemon would end every one of them that the
        // account nobody runs, other tests' included.
        e.insert({{"TOVUC_DEV", "1"},
                  {"TOVUC_APPS_DIR", noApps.path().string()},
                  {"TOVUC_LOCK_GRACE", "1"},
                  {"TOVUC_LOCK_USER", "daemon"},
                  {"TOVUC_LOCK_CMD", lock}});
        daemon.emplace(TOVUCONTROLD_PATH, e);
        ASSERT_TRUE(waitUntil([&] { return Ipc::call(op("policy"), sock).policy == policy; }))
            << daemon->log();
    }
    // The lock screen's session, once it is in front.
    std::string lockInFront() {
        std::string front;
        waitUntil([&] {
            front = logind.front();
            const auto s = logind.session(front);
            return s && s->uid == *lockUser;
        });
        return front;
    }
    bool called(const std::string& call) {
        return waitUntil([&] { return std::ranges::count(logind.calls(), call) > 0; });
    }

    std::optional<TempAccount> account;
    std::optional<std::uint32_t> child;
    const std::optional<std::uint32_t> lockUser = uidOf("daemon");
    TempDir noApps;
    SystemBus bus;
    FakeLogind logind{bus};
    std::optional<DaemonProcess> daemon;
};

} // namespace

TEST_F(DaemonSessionTest, LockScreenIsKeptInFrontOfTheChildAndLetsOthersThrough) {
    logind.add(onConsole("c1", *child, 2, true));
    logind.add(onConsole("g1", 0, 1, false, "greeter"));
    logind.add(onConsole("c9", *child + 1, 3, false));
    auto locked = makePolicy(10);
    locked.locked = true;
    locked.lockReason = "bo_me";
    start(locked);
    const auto first = lockInFront();
    ASSERT_FALSE(first.empty()) << daemon->log();

    // The child switches back, by any means: the lock screen is brought forward again.
    logind.activate("c1");
    EXPECT_EQ(lockInFront(), first);
    EXPECT_TRUE(daemon->waitForLog("Đưa màn hình khoá (phiên " + first + ") lên trước"));

    // From the lock screen, the login screen; then another user's session: both may stay.
    auto greeter = op("greeter");
    EXPECT_TRUE(Ipc::call(greeter, sock).ok);
    EXPECT_EQ(logind.front(), "g1");
    logind.activate("c9");
    // A remote session of the child, which the daemon locks, shows it has seen the switch.
    auto remote = loginSession("r1", "x11", *child);
    remote.seat.clear();
    remote.remote = true;
    logind.add(remote);
    EXPECT_TRUE(called("Lock r1"));
    EXPECT_EQ(logind.front(), "c9");

    // The lock screen ended: it is started again, and the child's session stays behind.
    logind.activate("c1");
    ASSERT_EQ(lockInFront(), first);
    const auto pid = std::stoi(FileIO::readText(dir.file("lock.pid")).value_or("0"));
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return !logind.session(first); }));
    const auto second = lockInFront();
    EXPECT_NE(second, first);
    EXPECT_FALSE(logind.session("c1")->active);

    // Unlocked: the child gets their session back and the lock screen goes.
    server.reply("POST", syncPath, 200, Json::encode(makePolicy(10)));
    EXPECT_TRUE(waitUntil([&] { return logind.front() == "c1"; }, 30s)) << daemon->log();
    EXPECT_TRUE(waitUntil([&] { return !logind.session(second); }));
    const auto calls = logind.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "ActivateSession c1"), 1);
}

// Any user may send signals on the system bus: a flood of forged ones from the child's account
// must not cost the daemon the child's session nor delay the lock screen.
TEST_F(DaemonSessionTest, ForgedSignalsFromTheChildChangeNothing) {
    logind.add(onConsole("c1", *child, 2, false));
    logind.add(onConsole("c9", *child + 1, 3, true));
    auto locked = makePolicy(10);
    locked.locked = true;
    locked.lockReason = "het_gio";
    start(locked);
    // A process of the child's says, 100,000 times, that their session went or went away.
    const pid_t flood = fork();
    ASSERT_GE(flood, 0);
    if (flood == 0) {
        sd_bus* b = nullptr;
        if (setgid(*child) != 0 || setuid(*child) != 0 || sd_bus_open_system(&b) < 0) _exit(2);
        const char* path = "/org/freedesktop/login1/session/c1";
        for (int i = 0; i < 50'000; ++i) {
            sd_bus_emit_signal(b, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               "SessionRemoved", "so", "c1", path);
            sd_bus_emit_signal(b, path, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                               "sa{sv}as", "org.freedesktop.login1.Session", 1, "Active", "b", 0,
                               0);
            if (i % 500 == 0 && sd_bus_flush(b) < 0) _exit(3);
        }
        _exit(sd_bus_flush(b) < 0 ? 3 : 0);
    }
    // Meanwhile the child comes to the front: the lock screen comes all the same.
    logind.activate("c1");
    EXPECT_FALSE(lockInFront().empty()) << daemon->log();
    int status = 0;
    ASSERT_EQ(waitpid(flood, &status, 0), flood);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The daemon still knows the child's session: brought forward again, it is held behind.
    logind.activate("c1");
    EXPECT_FALSE(lockInFront().empty());
    EXPECT_TRUE(daemon->waitForLog("lên trước phiên của con"));
}

// Only the installed agent, untouched by the child's account, names the minutes: every way the
// child has of running the agent's file for a program of their own is turned away.
TEST_F(DaemonProcessTest, OnlyTheUntouchedAgentIsBelieved) {
    const auto child = uidOf("nobody");
    if (geteuid() != 0 || !child) GTEST_SKIP() << "needs root and the account nobody";
    TempDir installed; // root's, as a package installs it
    fs::permissions(installed.path(), fs::perms(0755));
    const std::string agent = installed.file("agent");
    fs::copy_file(fs::canonical("/usr/bin/python3"), agent);
    pair();
    auto e = env();
    e.insert({{"TOVUC_DEV", "1"}, {"TOVUC_AGENT", agent}});
    DaemonProcess d(TOVUCONTROLD_PATH, e);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(sock); })) << d.log();

    // Each script prints the daemon's answer to a report of no minutes.
    const std::string ask = "import socket\n"
                            "def ask():\n"
                            "    s = socket.socket(socket.AF_UNIX)\n"
                            "    s.connect('" +
                            sock +
                            "')\n"
                            "    s.sendall(b'{\"op\":\"usage\",\"entries\":[]}\\n')\n"
                            "    return s.makefile('rb').readline().decode()\n";
    const std::string untouchable = "import ctypes\nctypes.CDLL(None).prctl(4, 0, 0, 0, 0)\n";
    // The caller connects, leaves the connection to a helper and becomes the agent; the helper
    // asks once the agent runs, untouchable.
    const std::string handedOn = ask +
                                 "import os, socket\n"
                                 "s = socket.socket(socket.AF_UNIX)\ns.connect('" +
                                 sock +
                                 "')\n"
                                 "s.set_inheritable(True)\nme = os.getpid()\n"
                                 "if os.fork() == 0:\n"
                                 "    def ready():\n"
                                 "        try: return os.stat(f'/proc/{me}/status').st_uid == 0\n"
                                 "        except OSError: return False\n"
                                 "    while not ready(): pass\n"
                                 "    s.sendall(b'{\"op\":\"usage\",\"entries\":[]}\\n')\n"
                                 "    print(s.makefile('rb').readline().decode(), end='')\n"
                                 "    os._exit(0)\n"
                                 "os.dup2(os.open('/dev/null', os.O_WRONLY), 1)\n"
                                 "os.execv('" +
                                 agent + "', ['agent', '-c', '''" + untouchable +
                                 "import os\nos.wait()\n'''])\n";
    // The agent's file started under a tracer of the child's, which lets it run on.
    const std::string traced = "import ctypes, os, sys\nlibc = ctypes.CDLL(None)\npid = os.fork()\n"
                               "if pid == 0:\n"
                               "    libc.ptrace(0, 0, 0, 0)\n"
                               "    os.execv('" +
                               agent +
                               "', ['agent', '-c', sys.argv[1]])\n"
                               "os.waitpid(pid, 0)\nlibc.ptrace(7, pid, 0, 0)\n"
                               "while True:\n"
                               "    _, st = os.waitpid(pid, 0)\n"
                               "    if not os.WIFSTOPPED(st): break\n"
                               "    libc.ptrace(7, pid, 0, os.WSTOPSIG(st))\n";
    const std::string agentAsks = untouchable + ask + "print(ask(), end='')\n";
    const std::string accepted = R"({"ok":true,"online":false})";
    const std::string refused =
        R"({"error":"Chỉ TovuControl trong phiên của con báo giờ dùng","ok":false})";
    struct Row {
        const char* what;
        std::vector<std::string> argv;
        std::string answer;
    };
    const std::vector<Row> rows{
        {"the agent itself", {agent, "-c", agentAsks}, accepted},
        {"the agent's file left dumpable", {agent, "-c", ask + "print(ask(), end='')\n"}, refused},
        {"with a loader variable", {"env", "LD_BIND_NOW=1", agent, "-c", agentAsks}, refused},
        {"under a tracer", {"/usr/bin/python3", "-c", traced, agentAsks}, refused},
        {"its connection handed to another program", {"/usr/bin/python3", "-c", handedOn}, refused},
        {"in namespaces of the child's own", {"unshare", "-Urm", agent, "-c", agentAsks}, refused},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(runAs(*child, row.argv), row.answer + "\n") << d.log();
    }
}

// The app in front is the shell's word only when the shell is the one logind gave the child's
// session to, and untouched by the child.
TEST_F(DaemonProcessTest, OnlyTheSessionsOwnUntouchedShellSaysWhatIsInFront) {
    const auto child = uidOf("nobody");
    if (geteuid() != 0 || !child) GTEST_SKIP() << "needs root and the account nobody";
    SystemBus bus;
    TempDir installed, records, home;
    fs::permissions(installed.path(), fs::perms(0755));
    fs::permissions(home.path(), fs::perms(0777));
    const std::string shell = installed.file("gnome-shell");
    fs::copy_file(fs::canonical("/usr/bin/python3"), shell);
    pair();
    auto e = env();
    e.insert({{"TOVUC_DEV", "1"}, {"TOVUC_SHELLS", shell}, {"TOVUC_LOGIND_DIR", records.path()}});
    DaemonProcess d(TOVUCONTROLD_PATH, e);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(sock); })) << d.log();

    // The stand-in shell joins the system bus, and reports once logind's record is written (the
    // record names it as the session's controller, or not).
    const std::string script = "import dbus, os, socket, sys\n"
                               "name = dbus.SystemBus().get_unique_name()\n"
                               "open(sys.argv[1] + '.name', 'w').write(name)\n"
                               "while not os.path.exists(sys.argv[1] + '.go'): pass\n"
                               "s = socket.socket(socket.AF_UNIX)\ns.connect('" +
                               sock +
                               "')\n"
                               "s.sendall(b'{\"op\":\"front\",\"pid\":%d}\\n' % os.getpid())\n"
                               "print(s.makefile('rb').readline().decode(), end='')\n";
    const std::string accepted = "{\"ok\":true}\n";
    const std::string refused =
        R"({"error":"Chỉ màn hình của con báo được ứng dụng đang mở","ok":false})"
        "\n";
    struct Row {
        const char* what;
        std::vector<std::string> variables;
        bool controller;
        bool extensionCopy;
        std::string answer;
    };
    const std::vector<Row> rows{
        {"the session's shell", {}, true, false, accepted},
        {"a shell the child started", {}, false, false, refused},
        {"with the child's own dconf profile", {"DCONF_PROFILE=mine"}, true, false, refused},
        {"with a loader variable", {"LD_BIND_NOW=1"}, true, false, refused},
        {"with a copy of the extension in the child's data", {}, true, true, refused},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string step = home.file(std::to_string(&row - rows.data()));
        if (row.extensionCopy)
            fs::create_directories(home.path() / ".local/share/gnome-shell/extensions" /
                                   Daemon::shellExtension);
        std::vector<std::string> argv{"env", "HOME=" + home.path().string()};
        argv.insert(argv.end(), row.variables.begin(), row.variables.end());
        argv.insert(argv.end(), {shell, "-c", script, step});
        auto answer = std::async(std::launch::async, [&] { return runAs(*child, argv); });
        ASSERT_TRUE(waitUntil([&] { return fs::exists(step + ".name"); }));
        writeFile(records.path() / "c1",
                  "UID=" + std::to_string(*child) + "\nCONTROLLER=" +
                      (row.controller ? readFile(step + ".name") : ":1.9999") + "\n");
        writeFile(step + ".go", "");
        EXPECT_EQ(answer.get(), row.answer) << d.log();
        fs::remove_all(home.path() / ".local");
    }
}
