#pragma once

#include "support/DaemonProcess.hpp"
#include "support/Support.hpp"

#include <functional>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tovu::test {

// A PostgreSQL cluster of its own in a temporary folder, reached only through its socket
// there; run as the account postgres when the caller is root. Throws when it does not start.
class PgCluster {
public:
    PgCluster();
    ~PgCluster();

    static bool available();
    const std::string& url() const { return url_; }
    // The folder of its socket, for clients that take a host and a user (pgbench).
    std::string socketDir() const { return dir_.path().string(); }
    // Runs the server and every backend it starts on that CPU only.
    void pin(int cpu) const;

private:
    TempDir dir_;
    std::string as_;
    std::string url_;
};

// tovucontrol-server started with command (program and arguments, "--listen 127.0.0.1:0"
// added); ready once it says where it serves, over HTTP or HTTPS.
class ParentsServer {
public:
    explicit ParentsServer(std::vector<std::string> command);
    DaemonProcess& process() { return *process_; }
    int port() const { return port_; }
    const std::string& url() const { return url_; }

private:
    std::optional<DaemonProcess> process_;
    int port_ = 0;
    std::string url_;
};

struct Answer {
    int status = 0;
    nlohmann::json body;
};

// A client of the server at url ("http(s)://host:port"); HTTPS trusts only the certificate
// in the file ca.
httplib::Client serverClient(const std::string& url, const std::string& ca = "");

// The console as a browser uses it: one cookie, and the CSRF header from the session call.
class ConsoleClient {
public:
    explicit ConsoleClient(const std::string& url, const std::string& ca = "");
    // A JSON text as body stands for the raw body; mutating calls carry the CSRF header unless
    // withCsrf is false.
    Answer call(const std::string& method, const std::string& path,
                const nlohmann::json& body = nullptr, bool withCsrf = true);
    Answer post(const std::string& path, const nlohmann::json& body = nlohmann::json::object()) {
        return call("POST", "/api/console/" + path, body);
    }
    Answer get(const std::string& path) { return call("GET", "/api/console/" + path); }
    // Reads the event stream, on a connection of its own, until enough(all text so far) holds
    // or 30 s have passed; returns the text.
    std::string events(const std::function<bool(const std::string&)>& enough);

    std::string csrf;
    std::string setCookie; // the last Set-Cookie header

private:
    std::string url_, ca_;
    httplib::Client http_;
    std::string cookie_;
};

// A family set up through the console of the server at url, with one child.
class TestFamily {
public:
    static constexpr const char* password = "mật khẩu dài";

    // Throws std::runtime_error when the server refuses the setup token.
    TestFamily(const std::string& url, const std::string& setupToken,
               const std::string& parent = "Mẹ", const std::string& ca = "");
    std::string addChild(const std::string& name);
    // Pairs a new computer for the child; returns its device token.
    std::string pair(const std::string& childId);

    ConsoleClient console;
    std::string childId;

private:
    std::string url_, ca_;
};

} // namespace tovu::test
