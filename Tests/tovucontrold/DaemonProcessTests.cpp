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

#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tovu;
using namespace tovu::test;
using namespace std::chrono_literals;
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

TEST_F(DaemonProcessTest, PairedDaemonSyncsServesTheChildRefusesOthersAndEndsOnSigterm) {
    const auto child = uidOf("nobody");
    const auto other = uidOf("daemon");
    if (geteuid() != 0 || !child || !other)
        GTEST_SKIP() << "needs root and the accounts nobody and daemon";
    pair();
    server.reply("POST", syncPath, 200, Json::encode(makePolicy()));
    DaemonProcess d(TOVUCONTROLD_PATH, env());

    ASSERT_TRUE(d.waitForLog("Đang quản lý tài khoản nobody, máy chủ " + server.url() + "\n"))
        << d.log();
    EXPECT_TRUE(std::regex_search(
        d.log(), std::regex(R"((^|\n)\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] Đang quản lý)")))
        << d.log();
    ASSERT_TRUE(waitUntil([&] { return saved() && saved()->policy; }));
    EXPECT_EQ(saved()->policy, makePolicy());
    EXPECT_EQ(Ipc::call(op("policy"), sock).policy, makePolicy());

    auto report = op("usage");
    const UsageEntry entry{UsageTracker::ngay(std::chrono::system_clock::now() - 24h), "a", "A", 7};
    report.entries = {{entry}};
    const auto fromChild =
        Json::tryDecode<IpcResponse>(exchangeAs(*child, sock, Json::encode(report) + "\n"));
    ASSERT_TRUE(fromChild && fromChild->ok);
    EXPECT_EQ(fromChild->policy, makePolicy());
    EXPECT_EQ(saved()->usage, std::vector<UsageEntry>{entry});
    EXPECT_EQ(fs::status(dir.file("state.json")).permissions(), fs::perms(0600));
    // Answered before it has written a byte.
    EXPECT_EQ(exchangeAs(*other, sock, ""),
              "{\"error\":\"Không phải tài khoản được quản lý\",\"ok\":false}\n");

    const int status = d.terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
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
    pair();
    // The unpaired loop looks again every 30 s.
    ASSERT_TRUE(server.waitForRequests(1, 45s));
    EXPECT_EQ(server.requests().at(0).path, syncPath);
    EXPECT_EQ(d.log().find("Đang quản lý"), std::string::npos);
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
