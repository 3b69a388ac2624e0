#pragma once

#include "Http.hpp"

#include <memory>
#include <optional>
#include <string>

namespace tovu::server {

struct Tls {
    std::string cert;
    std::string key;
};

// The HTTP or HTTPS listener, event-driven: any number of idle or waiting connections cost no
// thread. A connection has idleLimit to begin a request, headLimit from its first byte for the
// whole head, bodyLimit for the body and writeLimit for each write; heads over 16 KB, bodies
// over 64 KB (chunked too) and more than perAddress connections from one address are refused.
// Handlers run on a pool of threads, so a slow database never stalls a connection's timers.
class HttpServer {
public:
    using Handler = std::function<Http::Response(const Http::Request&)>;

    static constexpr std::chrono::seconds idleLimit{60};
    static constexpr std::chrono::seconds headLimit{10};
    static constexpr std::chrono::seconds bodyLimit{10};
    static constexpr std::chrono::seconds writeLimit{10};
    static constexpr std::size_t perAddress = 256;

    // Throws std::runtime_error when the certificate or key cannot be used.
    explicit HttpServer(const std::optional<Tls>& tls);
    ~HttpServer();

    // pattern: a regular expression over the whole path. slow: the handler may take long (a
    // password hash) and runs on a thread of its own, never holding up the others.
    void route(std::string method, const std::string& pattern, Handler handler, bool slow = false);

    // Binds host:port (port 0: any free port); returns the port, or -1.
    int bind(const std::string& host, int port);
    // Serves until stop(); false when serving failed.
    bool serve();
    // Safe from any thread.
    void stop();

    // Beast and Asio stay in HttpServer.cpp.
    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace tovu::server
