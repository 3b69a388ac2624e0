// The built tovucontrold process, driven over its real socket against a fake parents' server.
#include "DaemonFixtures.hpp"
#include "DaemonState.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuCore/Json.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "support/DaemonProcess.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"

#include <csignal>
#include <filesystem>
#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tovu;
using namespace tovu::test;
using namespace std::chrono_literals;

namespace {

const std::string syncPath = "/api/device/sync";
const std::string notManaged = "Không phải tài khoản được quản lý";

// One exchange over the socket from a child process running as uid.
IpcResponse askAs(std::uint32_t uid, const std::string& sock, const IpcRequest& request) {
    const passwd* pw = getpwuid(uid);
    if (!pw) return IpcResponse::failure("no account");
    const gid_t gid = pw->pw_gid;
    const std::string line = Json::encode(request) + "\n";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    sock.copy(addr.sun_path, sizeof addr.sun_path - 1);

    int fds[2];
    if (pipe(fds) != 0) return IpcResponse::failure("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        // Only system calls from here on: the test process has other threads.
        close(fds[0]);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
        const int s = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) _exit(3);
        if (write(s, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(4);
        char buf[4096];
        ssize_t n;
        while ((n = read(s, buf, sizeof buf)) > 0)
            if (write(fds[1], buf, static_cast<std::size_t>(n)) != n) _exit(5);
        _exit(0);
    }
    close(fds[1]);
    std::string answer;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        answer.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return Json::tryDecode<IpcResponse>(answer).value_or(
        IpcResponse::failure("no answer, status " + std::to_string(status)));
}

mode_t modeOf(const std::string& path) {
    struct stat s {};
    return stat(path.c_str(), &s) == 0 ? (s.st_mode & 07777) : 0;
}

class DaemonProcessTest : public ::testing::Test {
protected:
    TempDir dir;
    TempDir sockDir; // searchable by the child account, unlike dir
    FakeServer server;
    std::string sock = sockDir.file("d.sock");

    void SetUp() override { chmod(sockDir.path().c_str(), 0711); }

    void pair(const std::string& serverUrl) {
        FileIO::write(AgentConfig{serverUrl, "tok", "dev-1", "Bin", "nobody"},
                      dir.file("config.json"));
    }
    std::map<std::string, std::string> env() const {
        return {{"TOVUC_DIR", dir.path().string()}, {"TOVUC_SOCK", sock}};
    }
    std::optional<DaemonState> saved() const {
        return FileIO::read<DaemonState>(dir.file("state.json"));
    }
    static void needRoot() {
        if (geteuid() != 0) GTEST_SKIP() << "switching users needs root";
    }
};

} // namespace

TEST_F(DaemonProcessTest, PairedDaemonSyncsAndServesOnlyRootAndTheChild) {
    needRoot();
    const auto childUid = uidOf("nobody");
    const auto otherUid = uidOf("daemon");
    if (!childUid || !otherUid) GTEST_SKIP() << "needs the accounts nobody and daemon";
    pair(server.url());
    server.reply("POST", syncPath, 200, Json::encode(makePolicy()));
    DaemonProcess d(TOVUCONTROLD_PATH, env());

    ASSERT_TRUE(d.waitForLog("Đang quản lý tài khoản nobody, máy chủ " + server.url() + "\n"))
        << d.log();
    EXPECT_TRUE(std::regex_search(
        d.log(), std::regex(R"((^|\n)\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] Đang quản lý)")))
        << d.log();
    ASSERT_TRUE(waitUntil([&] { return saved() && saved()->policy; }));
    EXPECT_EQ(saved()->policy, makePolicy());
    EXPECT_EQ(modeOf(dir.file("state.json")), 0600u);

    const auto fromRoot = Ipc::call(op("policy"), sock);
    EXPECT_EQ(fromRoot.policy, makePolicy());
    EXPECT_EQ(fromRoot.online, true);

    auto report = op("usage");
    const UsageEntry entry{UsageTracker::ngay(std::chrono::system_clock::now() - 24h), "a", "A", 7};
    report.entries = {{entry}};
    const auto fromChild = askAs(*childUid, sock, report);
    EXPECT_TRUE(fromChild.ok) << fromChild.error.value_or("");
    EXPECT_EQ(fromChild.policy, makePolicy());
    EXPECT_EQ(saved()->usage, std::vector<UsageEntry>{entry});
    EXPECT_EQ(modeOf(dir.file("state.json")), 0600u);

    EXPECT_EQ(askAs(*otherUid, sock, op("policy")), IpcResponse::failure(notManaged));

    const int status = d.terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(DaemonProcessTest, TrialModeIsTurnedOnByTheValueOneOnly) {
    needRoot();
    const auto otherUid = uidOf("daemon");
    if (!otherUid) GTEST_SKIP() << "needs the account daemon";
    {
        auto e = env();
        e["TOVUC_DEV"] = "true";
        DaemonProcess d(TOVUCONTROLD_PATH, e);
        ASSERT_TRUE(d.waitForLog("] Chưa ghép — chờ tovucontrol-setup\n")) << d.log();
        EXPECT_EQ(askAs(*otherUid, sock, op("policy")), IpcResponse::failure(notManaged));
        EXPECT_EQ(Ipc::call(op("policy"), sock), IpcResponse::failure("Máy chưa ghép với bố mẹ"));
    }

    pair("http://127.0.0.1:" + std::to_string(closedPort()));
    auto e = env();
    e["TOVUC_DEV"] = "1";
    DaemonProcess d(TOVUCONTROLD_PATH, e);
    ASSERT_TRUE(d.waitForLog("] Mất kết nối máy chủ: ")) << d.log();
    const auto r = askAs(*otherUid, sock, op("policy"));
    EXPECT_TRUE(r.ok) << r.error.value_or("");
    EXPECT_FALSE(r.policy);
    EXPECT_EQ(r.online, false);
}

TEST_F(DaemonProcessTest, SocketThatCannotBeBoundEndsTheProcessWithStatusOne) {
    const std::string bad = dir.file("missing/d.sock");
    auto e = env();
    e["TOVUC_SOCK"] = bad;
    DaemonProcess d(TOVUCONTROLD_PATH, e);
    const int status = d.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_TRUE(d.waitForLog("] Không mở được socket: Không bind được " + bad + ": ")) << d.log();
}

TEST_F(DaemonProcessTest, ConfigWrittenAfterStartIsUsedFromTheNextPass) {
    server.reply("POST", syncPath, 200, Json::encode(makePolicy()));
    DaemonProcess d(TOVUCONTROLD_PATH, env());
    ASSERT_TRUE(d.waitForLog("Chưa ghép — chờ tovucontrol-setup\n")) << d.log();
    pair(server.url());
    // The unpaired loop looks again every 30 s.
    ASSERT_TRUE(server.waitForRequests(1, 45s));
    EXPECT_EQ(server.requests().at(0).path, syncPath);
    EXPECT_EQ(d.log().find("Đang quản lý"), std::string::npos);
}
