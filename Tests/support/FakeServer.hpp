#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace tovu::test {

// One request as the fake server received it.
struct Recorded {
    std::string method;
    std::string path; // as sent: still percent-encoded, without the query
    // As sent; httplib adds remote_addr and the like.
    std::multimap<std::string, std::string> headers;
    std::string body;
    int remotePort = 0; // tells connections apart
    std::string query;  // after the "?", if any

    // The first value of a header, whatever the case of its name.
    std::optional<std::string> header(const std::string& name) const;
    // The body parsed as JSON; throws when it is not JSON.
    nlohmann::json json() const { return nlohmann::json::parse(body); }
};

struct Reply {
    int status = 200;
    std::string body;          // sent as application/json
    std::string location = {}; // sent as Location when not empty
};

// The parents' server, played in the test process on 127.0.0.1 at a free port, on threads of its
// own. A request is answered by the latest route set for its method and path; unknown routes
// answer 404 {"message":"not found"}. Thread-safe.
class FakeServer {
public:
    using Handler = std::function<Reply(const Recorded&)>;

    FakeServer();
    // Releases hung routes, then stops and joins the server's threads.
    ~FakeServer();

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }

    // A canned answer for method + path (exact, still percent-encoded).
    void reply(const std::string& method, const std::string& path, int status, std::string body);
    // Custom answers for method + every path that starts with pathPrefix; runs on the server's
    // threads.
    void handle(const std::string& method, const std::string& pathPrefix, Handler handler) {
        add({method, pathPrefix, true, std::move(handler)});
    }
    // method + path answers nothing until the server is destroyed.
    void hang(const std::string& method, const std::string& path);

    std::vector<Recorded> requests() const;

private:
    struct Route {
        std::string method;
        std::string path;
        bool prefix = false;
        Handler handler;
    };

    void add(Route route);
    Reply serve(const Recorded& request);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Route> routes_;
    std::vector<Recorded> requests_;
    bool stopping_ = false;

    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    bool listenEnded_ = false;
    std::thread thread_;
};

} // namespace tovu::test
