#include "TovuCore/Api.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuCore/IpcSocket.hpp"
#include "TovuProtocol/Json.hpp"
#include "support/DaemonFixtures.hpp"
#include "support/Support.hpp"

#include <atomic>
#include <fstream>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace tovu {
namespace {

using namespace std::chrono_literals;
using Ipc::detail::UniqueFd;
using test::op;
using namespace testing;

const std::string brokenAnswer = "{\"error\":\"Yêu cầu hỏng\",\"ok\":false}\n";

// Connects to path, or binds and listens there. The 10 s receive time-out makes a missing answer
// fail the test instead of hanging it.
UniqueFd unixSocket(const std::string& path, bool listen = false) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address = Ipc::detail::socketAddress(path);
    const auto* at = reinterpret_cast<const sockaddr*>(&address);
    if (listen ? ::bind(fd.get(), at, sizeof address) != 0 || ::listen(fd.get(), 1) != 0
               : ::connect(fd.get(), at, sizeof address) != 0)
        throw std::runtime_error("socket: " + path);
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
    UniqueFd fd = unixSocket(path);
    sendPieces(fd.get(), bytes, piece);
    if (bytes.empty()) ::shutdown(fd.get(), SHUT_WR);
    return Ipc::docDong(fd.get()).value_or("");
}

// True when the server closed the connection, false when it stayed silent for 10 s.
bool closedByServer(int fd) {
    char byte;
    ssize_t n = ::recv(fd, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

class IpcTest : public ::testing::Test {
protected:
    // Keeps every request with its caller and answers ok, but fails on "boom".
    Ipc::Handler recorder() {
        return [this](const IpcRequest& request, const Ipc::Peer& peer) {
            if (request.op == "boom") throw std::runtime_error("boom");
            std::lock_guard lock(mutex_);
            seen_.emplace_back(request, peer);
            IpcResponse response;
            response.ok = true;
            return response;
        };
    }
    std::unique_ptr<Ipc::Server> start(Ipc::Options options = {}) {
        return Ipc::serve(path, recorder(), std::move(options));
    }
    std::vector<std::pair<IpcRequest, Ipc::Peer>> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

    test::TempDir dir;
    std::string path = dir.file("tovu.sock");

private:
    std::mutex mutex_;
    std::vector<std::pair<IpcRequest, Ipc::Peer>> seen_;
};

TEST(IpcFraming, MessagesAreSortedCompactLines) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd a(fds[0]), b(fds[1]);
    ::shutdown(b.get(), SHUT_WR);
    EXPECT_EQ(Ipc::docDong(a.get()), std::nullopt); // nothing before the peer's end
    // Every field set; a line feed inside a text stays escaped.
    const std::string requestLine =
        R"({"appId":"a","appName":"A","apps":[{"id":"x"}],"display":":0",)"
        R"("entries":[{"appId":"a","appName":"A",)"
        R"("day":"d","minutes":5}],"id":"r","kind":"k","minutes":30,"note":"hai\ndòng","op":"o"})"
        "\n";
    const std::string responseLine =
        R"({"entries":[],"error":"e","ok":true,"online":false,"policy":)" + Json::encode(Policy{}) +
        R"(,"result":{"id":"r","status":"cho"},"state":{"status":"duoc"}})"
        "\n";
    const auto request = Json::decode<IpcRequest>(requestLine);
    Ipc::guiDong(a.get(), request);
    EXPECT_EQ(Ipc::docDong(b.get()), requestLine);
    Ipc::guiDong(a.get(), Json::decode<IpcResponse>(responseLine));
    EXPECT_EQ(Ipc::docDong(b.get()), responseLine);
    EXPECT_FALSE(Json::tryDecode<IpcRequest>(R"({"op":"u","apps":[{"id":1}]})"));
    b.reset();
    Ipc::guiDong(a.get(), request); // to a closed peer: no SIGPIPE
}

TEST_F(IpcTest, SetUpReplacesStaleFileWithWorldWritableSocketAndCallsSayWhyTheyFail) {
    std::string exact = dir.path().string() + "/";
    exact += std::string(103 - exact.size(), 's'); // the longest path that fits
    std::ofstream(exact) << "stale";
    mode_t processMask = ::umask(077);
    {
        auto server = Ipc::serve(exact, recorder());
        EXPECT_EQ(::umask(processMask), 077u);
        EXPECT_TRUE(Ipc::call(op("policy"), exact).ok);
    }
    EXPECT_EQ(Ipc::call(op("policy"), dir.file("missing/tovu.sock")),
              IpcResponse::failure("Dịch vụ TovuControl không chạy"));
    // A server that never answers: the full 25 s of the client's receive time-out.
    UniqueFd listener = unixSocket(path, true);
    EXPECT_EQ(Ipc::call(op("policy"), path), IpcResponse::failure("Dịch vụ không trả lời"));
}

TEST_F(IpcTest, RequestReachesHandlerWithCallerUidUnlessMalformedOrLate) {
    Ipc::Options options;
    options.limits.lineDeadline = 500ms;
    auto server = start(options);
    const std::string okAnswer = "{\"ok\":true}\n";
    EXPECT_EQ(ask(path, "{\"op\":\"policy\"}\n"), okAnswer);
    EXPECT_EQ(ask(path, "{\"op\":\"usage\"}\n", 1), okAnswer); // one byte per write
    // Brackets inside strings are text, not nesting.
    EXPECT_EQ(ask(path, "{\"note\":\"[[[[[[[[[[\\\"{{{{{{{{{\",\"op\":\"x\"}\n"), okAnswer);
    // The last one is a valid request, but nested deeper than any request needs.
    for (const char* bad : {"{\"kind\":\"x\"}\n", "{\"op\":5}\n", "nonsense\n", "[]\n", "",
                            "{\"op\":\"policy\",\"x\":[[[[[[[[[]]]]]]]]]}\n"})
        EXPECT_EQ(ask(path, bad), brokenAnswer) << bad;
    UniqueFd slow = unixSocket(path);
    sendPieces(slow.get(), "{\"op\":", 6);
    EXPECT_TRUE(closedByServer(slow.get()));
    auto requests = seen();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].first, op("policy"));
    EXPECT_EQ(requests[0].second.uid, ::geteuid());
    EXPECT_EQ(requests[0].second.pid, ::getpid());
    EXPECT_NE(requests[0].second.socket, 0u); // this end of the connection, for the daemon
    EXPECT_EQ(requests[1].first, op("usage"));
}

// Both workers are held by slow requests, together: the quick ones are answered all the same,
// also when a peer that stopped reading leaves its answer to a worker, or when the handler throws.
TEST_F(IpcTest, SlowRequestsRunTogetherAndQuickOnesOnTheReadingThread) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> slowInside{0};
    const std::string bulky(300'000, 'x'); // more than a socket takes at once
    Ipc::Options options;
    options.limits.maxWorkers = 2;
    options.quick = [](const IpcRequest& request) { return request.op != "slow"; };
    auto handler = recorder();
    auto server = Ipc::serve(
        path,
        [&](const IpcRequest& request, const Ipc::Peer& peer) {
            slowInside += request.op == "slow";
            if (request.op == "slow") released.wait_for(20s);
            auto response = handler(request, peer);
            if (request.op == "bulky") response.error = bulky;
            return response;
        },
        options);
    const auto call = [&] { return Ipc::call(op("slow"), path); };
    auto slow = std::async(std::launch::async, call), other = std::async(std::launch::async, call);
    ASSERT_TRUE(test::waitUntil([&] { return slowInside == 2; }));
    UniqueFd unread = unixSocket(path);
    Ipc::guiDong(unread.get(), op("bulky"));
    UniqueFd deaf = unixSocket(path);
    ::shutdown(deaf.get(), SHUT_RD); // writing its answer fails with EPIPE, and no SIGPIPE
    Ipc::guiDong(deaf.get(), op("policy"));
    EXPECT_EQ(Ipc::call(op("boom"), path), IpcResponse::failure("Lỗi khi xử lý yêu cầu"));
    EXPECT_TRUE(Ipc::call(op("policy"), path).ok);
    EXPECT_EQ(slow.wait_for(0s), std::future_status::timeout);
    release.set_value();
    EXPECT_TRUE(slow.get().ok && other.get().ok);
    EXPECT_EQ(Json::decode<IpcResponse>(Ipc::docDong(unread.get()).value_or("")).error, bulky);
}

TEST_F(IpcTest, IdleAndOversizedConnectionsCannotLockOutCaller) {
    Ipc::Options options;
    options.limits.lineDeadline = 1h;
    options.limits.maxBufferedBytes = 64 * 1024;
    auto server = start(options);
    std::vector<UniqueFd> idle;
    for (int i = 0; i < 300; ++i)
        idle.push_back(unixSocket(path));
    // Over the byte cap: dropped long before the line's own size limit.
    UniqueFd greedy = unixSocket(path);
    std::thread sender([&] { sendPieces(greedy.get(), std::string(200'000, ' '), 4096); });
    EXPECT_TRUE(closedByServer(greedy.get()));
    sender.join();
    EXPECT_TRUE(Ipc::call(op("policy"), path).ok);
    // The oldest made room; the newest still waits for its line.
    EXPECT_TRUE(closedByServer(idle.front().get()));
    char byte;
    ssize_t read = ::recv(idle.back().get(), &byte, 1, MSG_DONTWAIT);
    int error = errno;
    EXPECT_TRUE(read == -1 && error == EAGAIN) << read << " " << error;
    server.reset();
    EXPECT_TRUE(closedByServer(idle.back().get()));
    EXPECT_EQ(seen().size(), 1u);
}

} // namespace
} // namespace tovu
