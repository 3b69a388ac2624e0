#pragma once

#include "Store.hpp"

#include <atomic>
#include <condition_variable>
#include <httplib.h>
#include <mutex>

namespace tovu::server {

// The parents' console: its JSON API under /api/console/, its live events and its files.
class Console {
public:
    // secure: the server speaks HTTPS, so the cookie is marked Secure.
    Console(Store& store, bool secure);
    void addRoutes(httplib::Server& server);
    // Ends the event streams, so that the server can stop.
    void stop();

private:
    struct Session {
        std::string token; // the cookie's value; may be anonymous
        std::optional<Parent> parent;
    };
    using Action = std::function<nlohmann::json(const Parent&, const httplib::Request&)>;

    Session sessionOf(const httplib::Request& req);
    bool csrfHolds(const httplib::Request& req, const Session& s) const;
    nlohmann::json sessionJson(const Session& s);
    void setCookie(httplib::Response& res, const std::string& token, bool persistent) const;
    // A logged-in parent's call; mutating methods also need the CSRF header.
    httplib::Server::Handler parentCall(Action action, bool mutating);
    // The start of a session after setup or login.
    void loggedIn(httplib::Response& res, const Parent& parent);
    void streamEvents(const Parent& parent, httplib::Response& res);

    Store& store_;
    bool secure_;
    std::atomic<bool> stopping_ = false;
    std::atomic<int> streams_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
};

} // namespace tovu::server
