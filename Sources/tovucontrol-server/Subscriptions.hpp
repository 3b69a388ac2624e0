#pragma once

#include "Accounts.hpp"
#include "Database.hpp"
#include "WebPush.hpp"

#include <string>
#include <vector>

namespace tovu::server {

// The browsers that get a family's push messages, and the server's own VAPID keys.
class Subscriptions {
public:
    Subscriptions(Database& db, const Clock& clock);

    // Made at the first start and kept; every server process on one store reads the same.
    WebPush::Keys keys();
    // A browser belongs to the parent who last logged in with it.
    void add(const Parent& parent, const WebPush::Subscription& s);
    void remove(const Parent& parent, const std::string& endpoint);
    // A push service no longer knows the endpoint.
    void drop(const std::string& endpoint);
    std::vector<WebPush::Subscription> ofFamily(const std::string& familyId);

private:
    Database& db_;
    const Clock& clock_;
};

} // namespace tovu::server
