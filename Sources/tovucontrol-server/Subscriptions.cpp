#include "Subscriptions.hpp"

#include "Records.hpp"

namespace tovu::server {

Subscriptions::Subscriptions(Database& db, const Clock& clock)
    : db_(db)
    , clock_(clock) {}

WebPush::Keys Subscriptions::keys() {
    const auto made = WebPush::newKeys();
    WebPush::Keys keys;
    db_.transact([&](Transaction& tx) {
        // Several processes may start at once: the first to write wins.
        for (const auto& [key, value] : {std::pair{"vapid_private", made.privatePem},
                                         std::pair{"vapid_public", made.publicKey}})
            tx.query("INSERT INTO meta (key, value) VALUES ($1, $2) ON CONFLICT (key) DO NOTHING",
                     {std::string(key), value});
        keys.privatePem = tx.one("SELECT value FROM meta WHERE key = 'vapid_private'")->text(0);
        keys.publicKey = tx.one("SELECT value FROM meta WHERE key = 'vapid_public'")->text(0);
    });
    return keys;
}

void Subscriptions::add(const Parent& parent, const WebPush::Subscription& s) {
    db_.transact([&](Transaction& tx) {
        tx.query("INSERT INTO push_subscriptions (endpoint, parent_id, family_id, p256dh, auth, "
                 "created_at) VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (endpoint) DO UPDATE "
                 "SET parent_id = excluded.parent_id, family_id = excluded.family_id, "
                 "p256dh = excluded.p256dh, auth = excluded.auth",
                 {s.endpoint, parent.id, parent.familyId, s.p256dh, s.auth, secs(clock_.now())});
    });
}

void Subscriptions::remove(const Parent& parent, const std::string& endpoint) {
    db_.transact([&](Transaction& tx) {
        tx.query("DELETE FROM push_subscriptions WHERE endpoint = $1 AND parent_id = $2",
                 {endpoint, parent.id});
    });
}

void Subscriptions::drop(const std::string& endpoint) {
    db_.transact([&](Transaction& tx) {
        tx.query("DELETE FROM push_subscriptions WHERE endpoint = $1", {endpoint});
    });
}

std::vector<WebPush::Subscription> Subscriptions::ofFamily(const std::string& familyId) {
    std::vector<WebPush::Subscription> out;
    db_.transact([&](Transaction& tx) {
        out.clear();
        for (const auto& r : tx.query("SELECT endpoint, p256dh, auth FROM push_subscriptions "
                                      "WHERE family_id = $1 ORDER BY created_at",
                                      {familyId}))
            out.push_back({r.text(0), r.text(1), r.text(2)});
    });
    return out;
}

} // namespace tovu::server
