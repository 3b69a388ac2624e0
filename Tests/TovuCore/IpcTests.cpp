#include "TovuCore/Api.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuCore/IpcSocket.hpp"
#include "TovuCore/Json.hpp"
#include "support/Support.hpp"

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tovu {
namespace {

using namespace std::chrono_literals;
using Ipc::detail::UniqueFd;

const std::string brokenAnswer = "{\"error\":\"Yêu cầu hỏng\",\"ok\":false}\n";
const std::string okAnswer = "{\"ok\":true,\"online\":true}\n";

IpcRequest op(std::string name) {
    IpcRequest request;
    request.op = std::move(name);
    return request;
}

// Connects with a 10 s receive time-out, so a missing answer fails the test instead of hanging.
UniqueFd connectTo(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address = Ipc::detail::socketAddress(path);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("connect: " + path);
    timeval timeout{10, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

// Sends in pieces, pausing between them so that the server sees separate reads.
void sendPieces(int fd, std::string_view bytes, std::size_t piece) {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        if (at > 0) std::this_thread::sleep_for(1ms);
        auto part = bytes.substr(at, piece);
        if (::send(fd, part.data(), part.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(part.size()))
            return;
    }
}

std::string ask(const std::string& path, std::string_view bytes,
                std::size_t piece = std::string::npos) {
    UniqueFd fd = connectTo(path);
    sendPieces(fd.get(), bytes, piece);
    if (bytes.empty()) ::shutdown(fd.get(), SHUT_WR);
    return Ipc::docDong(fd.get()).value_or("");
}

std::pair<UniqueFd, UniqueFd> socketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair");
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// A listening socket that nobody serves.
UniqueFd listenOn(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address = Ipc::detail::socketAddress(path);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 1) != 0)
        throw std::runtime_error("listen: " + path);
    return fd;
}

std::string startUpError(const std::string& path) {
    try {
        Ipc::serve(path, {});
    } catch (const ApiError& error) {
        EXPECT_FALSE(error.status());
        return error.message();
    }
    return "started";
}

// True when the server closed the connection, false when it stayed silent for 10 s.
bool closedByServer(int fd) {
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// Keeps every request with its caller's uid and answers ok.
class Recorder {
public:
    Ipc::Handler handler() {
        return [this](const IpcRequest& request, std::uint32_t uid) {
            std::lock_guard lock(mutex_);
            seen_.emplace_back(request, uid);
            IpcResponse response;
            response.ok = true;
            response.online = true;
            return response;
        };
    }
    std::vector<std::pair<IpcRequest, std::uint32_t>> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<IpcRequest, std::uint32_t>> seen_;
};

class IpcTest : public ::testing::Test {
protected:
    std::unique_ptr<Ipc::Server> start(Ipc::Limits limits = {}) {
        return Ipc::serve(path, recorder.handler(), limits);
    }
    Ipc::Limits patient() {
        Ipc::Limits limits;
        limits.lineDeadline = 1h;
        return limits;
    }

    test::TempDir dir;
    std::string path = dir.file("tovu.sock");
    Recorder recorder;
};

TEST(IpcFraming, MessagesAreSortedCompactLines) {
    auto [reader, writer] = socketPair();
    IpcRequest request = op("request");
    request.entries = {{"2025-03-01", "a", "A", 5}};
    request.kind = "them_gio";
    request.minutes = 30;
    request.appId = "org.x";
    request.appName = "X";
    request.note = "hai\ndòng";
    request.id = "r1";
    std::map<std::string, std::string> app{{"name", "X"}, {"id", "org.x"}};
    request.apps = std::vector{app};
    Ipc::guiDong(writer.get(), request);
    std::string line = Ipc::docDong(reader.get()).value_or("");
    EXPECT_EQ(line,
              "{\"appId\":\"org.x\",\"appName\":\"X\",\"apps\":[{\"id\":\"org.x\",\"name\":\"X\"}],"
              "\"entries\":[{\"appId\":\"a\",\"appName\":\"A\",\"day\":\"2025-03-01\","
              "\"minutes\":5}],\"id\":\"r1\",\"kind\":\"them_gio\",\"minutes\":30,"
              "\"note\":\"hai\\ndòng\",\"op\":\"request\"}\n");
    EXPECT_EQ(Json::decode<IpcRequest>(line), request);

    IpcResponse response;
    response.ok = true;
    response.policy = Policy{"t", "An", "tu_do", false, {}, {"a"}, {}, {}, {}, 60, true};
    response.entries = request.entries;
    response.result = RequestResult{"r1", "cho", {}};
    response.state = RequestState{"duoc", 15, "2025-03-01T18:30:00Z"};
    response.online = false;
    Ipc::guiDong(writer.get(), response);
    line = Ipc::docDong(reader.get()).value_or("");
    EXPECT_EQ(line,
              "{\"entries\":[{\"appId\":\"a\",\"appName\":\"A\",\"day\":\"2025-03-01\","
              "\"minutes\":5}],\"ok\":true,\"online\":false,\"policy\":{\"allowedApps\":[\"a\"],"
              "\"canExchangePoints\":true,\"childName\":\"An\",\"learningApps\":[],"
              "\"locked\":false,\"mode\":\"tu_do\",\"nextCheckSec\":60,\"serverTime\":\"t\"},"
              "\"result\":{\"id\":\"r1\",\"status\":\"cho\"},\"state\":{\"grantEndsAt\":"
              "\"2025-03-01T18:30:00Z\",\"grantedMinutes\":15,\"status\":\"duoc\"}}\n");
    EXPECT_EQ(Json::decode<IpcResponse>(line), response);

    Ipc::guiDong(writer.get(), IpcResponse::failure("x"));
    EXPECT_EQ(Ipc::docDong(reader.get()), "{\"error\":\"x\",\"ok\":false}\n");

    // Nothing sent before the peer's end: absent. Writing to a closed peer must not raise SIGPIPE.
    ::shutdown(writer.get(), SHUT_WR);
    EXPECT_EQ(Ipc::docDong(reader.get()), std::nullopt);
    reader.reset();
    Ipc::guiDong(writer.get(), request);
}

TEST(IpcFraming, RecordsDecodeStrictly) {
    auto request = Json::decode<IpcRequest>("{\"op\":\"policy\",\"minutes\":null,\"extra\":1}\n");
    EXPECT_EQ(request, op("policy"));
    for (const char* bad : {"{\"kind\":\"x\"}", "{\"op\":5}", "{\"op\":\"usage\",\"minutes\":1.5}",
                            "{\"op\":\"x\",\"apps\":[{\"id\":1}]}", "[]", ""})
        EXPECT_FALSE(Json::tryDecode<IpcRequest>(bad)) << bad;
    EXPECT_FALSE(Json::tryDecode<IpcResponse>("{\"error\":\"x\"}"));
    EXPECT_FALSE(Json::tryDecode<IpcResponse>("{\"ok\":true,\"online\":\"yes\"}"));
}

TEST(IpcFraming, DocDongStopsRunawaySenderNearOneMegabyte) {
    auto [reader, writer] = socketPair();
    std::thread sender([&] { sendPieces(writer.get(), std::string(2'000'000, 'x'), 2'000'000); });
    auto line = Ipc::docDong(reader.get());
    reader.reset();
    sender.join();
    ASSERT_TRUE(line);
    EXPECT_GT(line->size(), 999'999u);
    EXPECT_LE(line->size(), 999'999u + 4096u);
}

TEST_F(IpcTest, PathLengthAndStartUpErrors) {
    std::string exact = dir.path().string() + "/";
    exact += std::string(103 - exact.size(), 's');
    {
        auto server = Ipc::serve(exact, recorder.handler());
        EXPECT_TRUE(Ipc::call(op("policy"), exact).ok);
    }
    std::string tooLong = exact + "s";
    EXPECT_EQ(startUpError(tooLong), "Đường socket quá dài (tối đa 103 byte): " + tooLong);
    EXPECT_EQ(Ipc::call(op("policy"), tooLong), IpcResponse::failure("Đường socket quá dài"));

    std::string unreachable = dir.file("missing/tovu.sock");
    EXPECT_EQ(startUpError(unreachable),
              "Không bind được " + unreachable + ": No such file or directory");
    EXPECT_EQ(Ipc::call(op("policy"), unreachable),
              IpcResponse::failure("Dịch vụ TovuControl không chạy"));
}

TEST_F(IpcTest, ReplacesStaleFilesWithWorldWritableSocket) {
    std::ofstream(path) << "stale";
    {
        auto server = start();
        EXPECT_TRUE(Ipc::call(op("policy"), path).ok);
    }
    // The stopped server left its socket file, with nobody listening.
    ASSERT_TRUE(std::filesystem::is_socket(path));
    EXPECT_EQ(Ipc::call(op("policy"), path),
              IpcResponse::failure("Dịch vụ TovuControl không chạy"));

    mode_t processMask = ::umask(077);
    auto server = start();
    EXPECT_EQ(::umask(processMask), 077u);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0666u);
    EXPECT_TRUE(Ipc::call(op("policy"), path).ok);
}

TEST_F(IpcTest, RequestReachesHandlerWithCallerUid) {
    auto server = start();
    EXPECT_EQ(ask(path, "{\"op\":\"policy\"}\n"), okAnswer);
    // Split over several writes, down to one byte at a time.
    EXPECT_EQ(ask(path, "{\"op\":\"usage\"}\n", 5), okAnswer);
    EXPECT_EQ(ask(path, "{\"op\":\"usageToday\"}\n", 1), okAnswer);
    // Brackets inside strings are text, not nesting.
    EXPECT_EQ(ask(path, "{\"note\":\"[[[[[[[[[[\\\"{{{{{{{{{\",\"op\":\"x\"}\n"), okAnswer);

    auto seen = recorder.seen();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].first, op("policy"));
    EXPECT_EQ(seen[0].second, ::geteuid());
    EXPECT_EQ(seen[1].first, op("usage"));
    EXPECT_EQ(seen[2].first, op("usageToday"));
}

TEST_F(IpcTest, MalformedRequestsNeverReachHandler) {
    auto server = start();
    // The last one is a valid request, but nested deeper than any request needs.
    for (const char* bad : {"{\"kind\":\"x\"}\n", "{\"op\":5}\n", "nonsense\n", "[]\n", "",
                            "{\"op\":\"policy\",\"x\":[[[[[[[[[]]]]]]]]]}\n"})
        EXPECT_EQ(ask(path, bad), brokenAnswer) << bad;
    EXPECT_TRUE(recorder.seen().empty());
}

TEST_F(IpcTest, CallRejectsMalformedAnswer) {
    UniqueFd listener = listenOn(path);
    std::thread fake([&] {
        UniqueFd peer(::accept(listener.get(), nullptr, nullptr));
        Ipc::docDong(peer.get());
        std::string answer = "{\"ok\":\"yes\"}\n";
        ::send(peer.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
    });
    EXPECT_EQ(Ipc::call(op("policy"), path), IpcResponse::failure("Dịch vụ không trả lời"));
    fake.join();
}

// Takes the full 25 s of the client's receive time-out.
TEST_F(IpcTest, CallGivesUpOnSilentServer) {
    UniqueFd listener = listenOn(path);
    EXPECT_EQ(Ipc::call(op("policy"), path), IpcResponse::failure("Dịch vụ không trả lời"));
}

TEST_F(IpcTest, SurvivesPeerThatLeavesBeforeAnswerAndHandlerThatThrows) {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false;
    Ipc::Limits oneWorker;
    oneWorker.maxWorkers = 1;
    auto server = Ipc::serve(
        path,
        [&](const IpcRequest& request, std::uint32_t) {
            if (request.op == "boom") throw std::runtime_error("boom");
            std::unique_lock lock(mutex);
            if (request.op == "wait") {
                entered = true;
                changed.notify_all();
                changed.wait_for(lock, 10s, [&] { return released; });
            }
            IpcResponse response;
            response.ok = true;
            return response;
        },
        oneWorker);

    {
        UniqueFd client = connectTo(path);
        Ipc::guiDong(client.get(), op("wait"));
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return entered; }));
    }
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    // The single worker must first write to the closed peer (no SIGPIPE), then serve these.
    IpcResponse failed = Ipc::call(op("boom"), path);
    EXPECT_FALSE(failed.ok);
    EXPECT_TRUE(failed.error && !failed.error->empty());
    EXPECT_TRUE(Ipc::call(op("policy"), path).ok);
}

TEST_F(IpcTest, ServesClientsConcurrentlyWhileHandlerIsSlow) {
    constexpr int clients = 8;
    std::mutex mutex;
    std::condition_variable arrived;
    int inside = 0;
    auto server = Ipc::serve(path, [&](const IpcRequest&, std::uint32_t) {
        std::unique_lock lock(mutex);
        ++inside;
        arrived.notify_all();
        IpcResponse response;
        response.ok = arrived.wait_for(lock, 20s, [&] { return inside >= clients; });
        return response;
    });
    std::vector<std::future<IpcResponse>> answers;
    for (int i = 0; i < clients; ++i)
        answers.push_back(std::async(std::launch::async, [&] { return Ipc::call(op("x"), path); }));
    for (auto& answer : answers)
        EXPECT_TRUE(answer.get().ok);
}

TEST_F(IpcTest, IdleConnectionsCannotLockOutCaller) {
    auto server = start(patient());
    std::vector<UniqueFd> idle;
    for (int i = 0; i < 300; ++i)
        idle.push_back(connectTo(path));
    EXPECT_TRUE(Ipc::call(op("policy"), path).ok);
    // The oldest made room; the newest still waits for its line.
    EXPECT_TRUE(closedByServer(idle.front().get()));
    char byte;
    ssize_t read = ::recv(idle.back().get(), &byte, 1, MSG_DONTWAIT);
    int error = errno;
    EXPECT_EQ(read, -1);
    EXPECT_EQ(error, EAGAIN);
    server.reset();
    EXPECT_TRUE(closedByServer(idle.back().get()));
}

TEST_F(IpcTest, SlowLineIsClosedAtItsDeadline) {
    Ipc::Limits limits;
    limits.lineDeadline = 50ms;
    auto server = start(limits);
    UniqueFd client = connectTo(path);
    sendPieces(client.get(), "{\"op\":", 6);
    EXPECT_TRUE(closedByServer(client.get()));
    EXPECT_TRUE(recorder.seen().empty());
}

TEST_F(IpcTest, OversizedLinesAreRefusedAndServingGoesOn) {
    auto server = start(patient());
    UniqueFd huge = connectTo(path);
    std::thread sender([&] { sendPieces(huge.get(), std::string(5'000'000, '['), 5'000'000); });
    auto answer = Ipc::docDong(huge.get());
    sender.join();
    EXPECT_EQ(answer.value_or(brokenAnswer), brokenAnswer); // or dropped unanswered

    // Under a small byte cap the biggest pending line goes, well before its own size limit.
    Ipc::Limits limits = patient();
    limits.maxBufferedBytes = 64 * 1024;
    auto capped = Ipc::serve(dir.file("capped.sock"), recorder.handler(), limits);
    UniqueFd greedy = connectTo(dir.file("capped.sock"));
    std::thread greedySender([&] { sendPieces(greedy.get(), std::string(200'000, ' '), 4096); });
    EXPECT_TRUE(closedByServer(greedy.get()));
    greedySender.join();

    EXPECT_TRUE(Ipc::call(op("policy"), path).ok);
    EXPECT_TRUE(Ipc::call(op("policy"), dir.file("capped.sock")).ok);
    EXPECT_EQ(recorder.seen().size(), 2u);
}

TEST_F(IpcTest, HandlerSeesUidOfAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch user";
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    auto server = start();
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool answered = ::setuid(65534) == 0 && Ipc::call(op("policy"), path).ok;
        ::_exit(answered ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto seen = recorder.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].second, 65534u);
}

} // namespace
} // namespace tovu
