// The built parents' server against clients that are slow, greedy, malformed or many at once,
// over real sockets. The attackers connect from other loopback addresses than the family's
// computers (127.0.0.2 and up), as they would from the internet.
#include "support/ParentsServer.hpp"
#include "support/XServer.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

using namespace tovu::test;
using namespace std::chrono_literals;
using nlohmann::json;
using Steady = std::chrono::steady_clock;

namespace {

const std::string setupToken = "setup-token-for-tests";

long rssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return -1;
}

// A TCP connection to the server from the loopback address `from`.
class Raw {
public:
    Raw(int port, const char* from) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from, &a.sin_addr);
        sockaddr_in to = a;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        connected_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                     connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~Raw() { close(fd_); }
    Raw(const Raw&) = delete;
    Raw& operator=(const Raw&) = delete;

    bool send(std::string_view bytes) {
        return connected_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                 static_cast<ssize_t>(bytes.size());
    }
    bool readable(std::chrono::milliseconds within = 0ms) {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(within.count())) == 1;
    }
    // What the server sends until it closes the connection or `within` has passed, or with
    // headOnly until the head of its answer is in.
    std::string answer(std::chrono::milliseconds within = 10s, bool headOnly = false) {
        std::string out;
        const auto end = Steady::now() + within;
        char buf[4096];
        while (!(headOnly && out.find("\r\n\r\n") != std::string::npos) && Steady::now() < end &&
               readable(100ms)) {
            const auto n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }
    // Whether the server closed the connection within `within`, sending nothing.
    bool closedWithin(std::chrono::milliseconds within) {
        char c;
        return readable(within) && recv(fd_, &c, 1, 0) <= 0;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

class HostileClients : public testing::Test {
protected:
    TempDir data;
    ParentsServer server{
        {TOVUCONTROL_SERVER, "--data", data.file("data"), "--setup-token", setupToken}};
    TestFamily family{server.url(), setupToken};
    const std::string token = family.pair(family.childId);

    int sync() {
        auto http = serverClient(server.url());
        const auto r = http.Post("/api/device/sync", {{"Authorization", "Bearer " + token}},
                                 R"({"usage":[]})", "application/json");
        return r ? r->status : -1;
    }
};

} // namespace

TEST_F(HostileClients, AChunkedBodyIsCutOffAndMemoryStaysFlat) {
    const auto before = rssKb(server.process().pid());
    Raw greedy(server.port(), "127.0.0.2");
    ASSERT_TRUE(
        greedy.send("POST /api/pair HTTP/1.1\r\nHost: x\r\n"
                    "Transfer-Encoding: chunked\r\nContent-Type: application/json\r\n\r\n"));
    const std::string piece = "10000\r\n" + std::string(0x10000, '[') + "\r\n";
    std::size_t sent = 0;
    while (sent < (32u << 20) && !greedy.readable() && greedy.send(piece))
        sent += piece.size();
    // The answer comes before the end, and the server closes a few seconds after it.
    EXPECT_TRUE(greedy.answer().starts_with("HTTP/1.1 413")) << sent;
    EXPECT_LT(rssKb(server.process().pid()) - before, 4096);
    EXPECT_EQ(sync(), 200);
}

TEST_F(HostileClients, SlowHeadsNeitherDelaySyncsNorStayForever) {
    std::vector<std::unique_ptr<Raw>> slow;
    for (int i = 0; i < 200; ++i) {
        slow.push_back(std::make_unique<Raw>(server.port(), "127.0.0.2"));
        ASSERT_TRUE(slow.back()->send("P"));
    }
    const auto start = Steady::now();
    std::atomic<bool> done = false;
    // One more header byte every half second on each, as long as the server takes them.
    auto drip = std::async(std::launch::async, [&] {
        for (int i = 0; !done; ++i) {
            for (auto& s : slow)
                s->send("O");
            std::this_thread::sleep_for(500ms);
        }
    });
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(sync(), 200);
    // Answered while every slow head was still held: no sync waited for one to time out.
    for (auto& s : slow)
        EXPECT_FALSE(s->closedWithin(0ms));
    // The whole head has a deadline, however steadily its bytes come.
    for (auto& s : slow)
        EXPECT_TRUE(s->closedWithin(
            std::chrono::duration_cast<std::chrono::milliseconds>(start + 15s - Steady::now())));
    done = true;
}

TEST_F(HostileClients, ConnectionsFromOneAddressAreCapped) {
    std::vector<std::unique_ptr<Raw>> held;
    for (int i = 0; i < 256; ++i)
        held.push_back(std::make_unique<Raw>(server.port(), "127.0.0.3"));
    // Wait until the server has taken them all: the last one is answered.
    ASSERT_TRUE(held.back()->send("GET /api/console/session HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(held.back()->answer(5s).starts_with("HTTP/1.1 200"));
    Raw oneTooMany(server.port(), "127.0.0.3");
    EXPECT_TRUE(oneTooMany.closedWithin(5s));
    EXPECT_EQ(sync(), 200);
    // The listen queue holds at least 1,024 connections (Send-Q of a listening socket).
    const auto listening =
        run({"/usr/bin/ss", "-Hltn", "sport = :" + std::to_string(server.port())}, "");
    ASSERT_TRUE(listening);
    std::istringstream fields(*listening);
    std::string state, recvQ, sendQ;
    fields >> state >> recvQ >> sendQ;
    EXPECT_GE(std::stoi(sendQ), 1024) << *listening;
}

TEST_F(HostileClients, BadRequestsGetShortAnswersWithoutInternalText) {
    const auto cookie = family.console.setCookie.substr(0, family.console.setCookie.find(';'));
    const std::string console =
        "Cookie: " + cookie + "\r\nX-CSRF-Token: " + family.console.csrf + "\r\n";
    const std::string device = "Authorization: Bearer " + token + "\r\n";
    const std::string child = "/api/console/children/" + family.childId;
    const std::string huge = R"({"x":1e400,"minutes":1e400,"name":1e400})";
    const struct {
        std::string request;
        const char* status;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n", "431"},
        {"POST /api/pair HTTP/1.1\r\nHost: x\r\nContent-Length: 70000\r\n\r\n", "413"},
        {"HELLO\r\n\r\n", "400"},
        {"GET /nowhere/at/all HTTP/1.1\r\nHost: x\r\n\r\n", "404"},
        // A number beyond double, on every endpoint that reads a body.
        {"POST /api/pair", "400"},
        {"POST /api/device/sync", "400"},
        {"POST /api/device/requests", "400"},
        {"POST /api/console/setup", "400"},
        {"POST /api/console/login", "400"},
        {"POST /api/console/parents", "400"},
        {"POST /api/console/children", "400"},
        {"PUT " + child + "/rules", "400"},
        {"POST " + child + "/grant", "400"},
        {"POST " + child + "/points", "400"},
    };
    for (const auto& c : cases) {
        auto request = c.request;
        if (!request.ends_with("\r\n\r\n"))
            request += " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n" + console +
                       device + "Content-Length: " + std::to_string(huge.size()) + "\r\n\r\n" +
                       huge;
        Raw r(server.port(), "127.0.0.4");
        ASSERT_TRUE(r.send(request));
        const auto answer = r.answer();
        EXPECT_TRUE(answer.starts_with(std::string("HTTP/1.1 ") + c.status)) << request << answer;
        const auto body = json::parse(answer.substr(answer.find("\r\n\r\n") + 4), nullptr, false);
        EXPECT_TRUE(body.is_object() && body["message"].is_string()) << answer;
        for (const char* internal : {"exception", "EXCEPTION", "json.", "what"})
            EXPECT_EQ(answer.find(internal), std::string::npos) << answer;
    }
}

TEST_F(HostileClients, EventStreamsAreCountedPerParentAndPerFamily) {
    for (const char* parent : {"Bố", "Bà"})
        ASSERT_EQ(
            family.console.post("parents", {{"name", parent}, {"password", TestFamily::password}})
                .status,
            200);
    std::vector<std::unique_ptr<Raw>> open;
    // The status of one more stream of the parent logged in on console; empty when none comes.
    const auto stream = [&](ConsoleClient& console) {
        const auto cookie = console.setCookie.substr(0, console.setCookie.find(';'));
        open.push_back(std::make_unique<Raw>(server.port(), "127.0.0.5"));
        open.back()->send("GET /api/console/events HTTP/1.1\r\nHost: x\r\nCookie: " + cookie +
                          "\r\n\r\n");
        const auto head = open.back()->answer(10s, true);
        return head.size() > 12 ? head.substr(9, 3) : std::string();
    };
    const auto login = [&](const std::string& name) {
        auto c = std::make_unique<ConsoleClient>(server.url());
        c->post("login", {{"name", name}, {"password", TestFamily::password}});
        return c;
    };
    auto dad = login("Bố"), gran = login("Bà");
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(stream(family.console), "200");
    EXPECT_EQ(stream(family.console), "503") << "a parent has eight";
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(stream(*dad), "200");
    EXPECT_EQ(stream(*gran), "503") << "a family has sixteen";
    // Another family's consoles are not held back by this one's.
    const auto out = run({TOVUCONTROL_SERVER, "--new-family", "--data", data.file("data")}, "");
    const auto at = out ? out->find("mới: ") : std::string::npos;
    ASSERT_NE(at, std::string::npos);
    TestFamily other(server.url(), out->substr(at + std::string("mới: ").size(), 32), "Cô");
    EXPECT_EQ(stream(other.console), "200");
    // A closed stream gives its place back.
    open.erase(open.begin());
    EXPECT_TRUE(waitUntil([&] { return stream(family.console) == "200"; }));
}
