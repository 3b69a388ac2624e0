#pragma once

#include "Console.hpp"
#include "Store.hpp"

#include <httplib.h>
#include <memory>
#include <optional>
#include <string>

namespace tovu::server {

struct Tls {
    std::string cert;
    std::string key;
};

// The device API, the console and its files on one HTTP or HTTPS listener.
class HttpServer {
public:
    // Throws std::runtime_error when the certificate or key cannot be used.
    HttpServer(Store& store, const std::optional<Tls>& tls);
    // Binds host:port (port 0: any free port); returns the port, or -1.
    int bind(const std::string& host, int port);
    // Serves until stop(); false when serving failed.
    bool serve();
    // Safe from any thread.
    void stop();

private:
    std::unique_ptr<httplib::Server> http_;
    Console console_;
};

} // namespace tovu::server
