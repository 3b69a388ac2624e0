#pragma once

#include "Accounts.hpp"
#include "Events.hpp"
#include "Families.hpp"
#include "HttpServer.hpp"
#include "Hub.hpp"
#include "Notifier.hpp"

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace tovu::server {

// The parents' console: its JSON API under /api/console/, its live events and its files.
class Console {
public:
    // secure: the server speaks HTTPS, so the cookie is marked Secure.
    Console(Accounts& accounts, Families& families, Events& events, Notifier& notifier,
            bool secure);
    // The event stream's places are taken from hub.
    void addRoutes(HttpServer& server, Hub& hub);
    // The family's events for its consoles, a request event with all of its request.
    std::vector<Event> eventsAfter(const std::string& familyId, std::int64_t after);

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
    Http::Response events(Hub& hub, const Parent& parent);
    void addManaging(HttpServer& server);
    void addPush(HttpServer& server);

    Accounts& accounts_;
    Families& families_;
    Events& events_;
    Notifier& notifier_;
    bool secure_;
};

} // namespace tovu::server
