#pragma once

#include "HttpServer.hpp"
#include "Hub.hpp"
#include "Store.hpp"

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace tovu::server {

// The parents' console: its JSON API under /api/console/, its live events and its files.
class Console {
public:
    // secure: the server speaks HTTPS, so the cookie is marked Secure.
    Console(Store& store, Hub& hub, bool secure);
    void addRoutes(HttpServer& server);

private:
    struct Session {
        std::string token; // the cookie's value; may be anonymous
        std::optional<Parent> parent;
    };
    using Action = std::function<nlohmann::json(const Parent&, const Http::Request&)>;

    Session sessionOf(const Http::Request& req);
    bool csrfHolds(const Http::Request& req, const Session& s) const;
    nlohmann::json sessionJson(const Session& s);
    void setCookie(Http::Response& res, const std::string& token, bool persistent) const;
    // A logged-in parent's call; mutating methods also need the CSRF header.
    HttpServer::Handler parentCall(Action action, bool mutating);
    static Http::Response expired();
    // The start of a session after setup or login.
    Http::Response loggedIn(const Parent& parent);
    Http::Response events(const Parent& parent);

    Store& store_;
    Hub& hub_;
    bool secure_;
};

} // namespace tovu::server
