#include "support/FakeServer.hpp"

#include "support/Support.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <filesystem>
#include <httplib.h>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <strings.h>
#include <sys/socket.h>

namespace tovu::test {

namespace {

// A kept-alive connection holds a server thread for up to 5 s after stop(). Cutting the
// accepted connections of the port lets the destructor return at once.
void shutDownConnections(int port) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        int fd = std::stoi(entry.path().filename().string());
        sockaddr_in local{}, peer{};
        socklen_t localSize = sizeof local, peerSize = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) == 0 &&
            local.sin_family == AF_INET && ntohs(local.sin_port) == port &&
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0)
            shutdown(fd, SHUT_RDWR);
    }
}

} // namespace

std::optional<std::string> Recorded::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    return std::nullopt;
}

FakeServer::FakeServer()
    : server_(std::make_unique<httplib::Server>()) {
    // Room for the kept-alive connections of many client threads at once.
    server_->new_task_queue = [] { return new httplib::ThreadPool(32); };
    server_->set_tcp_nodelay(true); // the headers and the body go out in separate writes
    auto dispatch = [this](const httplib::Request& req, httplib::Response& res) {
        const auto mark = req.target.find('?');
        Reply reply = serve({req.method,
                             req.target.substr(0, mark),
                             {req.headers.begin(), req.headers.end()},
                             req.body,
                             req.remote_port,
                             mark == std::string::npos ? "" : req.target.substr(mark + 1)});
        res.status = reply.status;
        res.set_content(reply.body, "application/json");
        if (!reply.location.empty()) res.set_header("Location", reply.location);
    };
    const std::string any = "[\\s\\S]*";
    server_->Get(any, dispatch).Post(any, dispatch);
    int listener = -1;
    server_->set_socket_options([&listener](int fd) {
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listener = fd;
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    // httplib's backlog of 5 drops the connections of many clients at once, which then retry
    // only after a second.
    if (port_ <= 0 || listen(listener, SOMAXCONN) != 0)
        throw std::runtime_error("fake server: cannot listen on 127.0.0.1");
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        std::lock_guard lock(mutex_);
        listenEnded_ = true;
    });
    // stop() is a no-op until the server runs, so the destructor must not come before that.
    waitUntil([this] {
        std::lock_guard lock(mutex_);
        return server_->is_running() || listenEnded_;
    });
}

FakeServer::~FakeServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    shutDownConnections(port_);
    thread_.join();
}

void FakeServer::add(Route route) {
    std::lock_guard lock(mutex_);
    routes_.push_back(std::move(route));
}

void FakeServer::reply(const std::string& method, const std::string& path, int status,
                       std::string body) {
    add({method, path, false, [status, body = std::move(body)](const Recorded&) {
             return Reply{status, body};
         }});
}

void FakeServer::hang(const std::string& method, const std::string& path) {
    add({method, path, false, [this](const Recorded&) {
             std::unique_lock lock(mutex_);
             changed_.wait(lock, [this] { return stopping_; });
             return Reply{503, ""};
         }});
}

Reply FakeServer::serve(const Recorded& request) {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        auto route = std::find_if(routes_.rbegin(), routes_.rend(), [&](const Route& r) {
            return r.method == request.method &&
                   (r.prefix ? request.path.starts_with(r.path) : request.path == r.path);
        });
        if (route == routes_.rend()) return {404, R"({"message":"not found"})"};
        handler = route->handler;
    }
    return handler(request);
}

std::vector<Recorded> FakeServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

} // namespace tovu::test
