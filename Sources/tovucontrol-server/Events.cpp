#include "Events.hpp"

#include "Records.hpp"
#include "Topics.hpp"
#include "TovuProtocol/Json.hpp"

namespace tovu::server {

Statement event(Transaction& tx, const std::string& familyId, const std::string& kind,
                const nlohmann::json& data, Time now) {
    tx.notify(Topics::family(familyId));
    return {"INSERT INTO events (family_id, kind, data, at) VALUES ($1, $2, $3, $4)",
            {familyId, kind, Json::encode(data), secs(now)}};
}

void emit(Transaction& tx, const std::string& familyId, const std::string& kind,
          const nlohmann::json& data, Time now) {
    const auto s = event(tx, familyId, kind, data, now);
    tx.query(s.sql, s.params);
}

Statement changedStatement(Transaction& tx, const std::string& familyId, const char* what,
                           Time now) {
    return event(tx, familyId, "changed", {{"what", what}}, now);
}

void changed(Transaction& tx, const std::string& familyId, const char* what, Time now) {
    emit(tx, familyId, "changed", {{"what", what}}, now);
}

Events::Events(Database& db, const Clock& clock)
    : db_(db)
    , clock_(clock) {}

std::int64_t Events::last(const std::string& familyId) {
    std::int64_t id = 0;
    db_.transact([&](Transaction& tx) {
        id = tx.one("SELECT COALESCE(MAX(id), 0) FROM events WHERE family_id = $1", {familyId})
                 ->integer(0);
        // Old events serve nobody: a console that comes back starts from now.
        tx.query("DELETE FROM events WHERE at < $1", {secs(clock_.now() - std::chrono::hours(24))});
    });
    return id;
}

std::vector<Event> Events::after(const std::string& familyId, std::int64_t after) {
    std::vector<Event> events;
    db_.transact([&](Transaction& tx) {
        for (const auto& r : tx.query("SELECT id, kind, data FROM events "
                                      "WHERE family_id = $1 AND id > $2 ORDER BY id LIMIT 100",
                                      {familyId, after}))
            events.push_back({r.integer(0), r.text(1), r.text(2)});
    });
    return events;
}

} // namespace tovu::server
