#include "Migrations.hpp"

#include <string>
#include <vector>

namespace tovu::server {
namespace {

// Each entry brings the schema one version up; "{serial}" is the store's auto-numbered key.
const std::vector<std::string> migrations = {
    R"(CREATE TABLE families (id TEXT PRIMARY KEY, name TEXT NOT NULL, time_zone TEXT NOT NULL,
        created_at BIGINT NOT NULL);
    CREATE TABLE parents (id TEXT PRIMARY KEY, family_id TEXT NOT NULL REFERENCES families(id),
        name TEXT NOT NULL UNIQUE, password_hash TEXT NOT NULL, created_at BIGINT NOT NULL);
    CREATE TABLE sessions (token_hash TEXT PRIMARY KEY,
        parent_id TEXT NOT NULL REFERENCES parents(id) ON DELETE CASCADE,
        expires_at BIGINT NOT NULL);
    CREATE TABLE children (id TEXT PRIMARY KEY, family_id TEXT NOT NULL REFERENCES families(id),
        name TEXT NOT NULL, rules TEXT NOT NULL, points BIGINT NOT NULL DEFAULT 0,
        locked_by_parent INTEGER NOT NULL DEFAULT 0, grant_ends_at BIGINT,
        grant_apps TEXT NOT NULL DEFAULT '[]', version BIGINT NOT NULL DEFAULT 0,
        created_at BIGINT NOT NULL);
    CREATE INDEX children_family ON children(family_id);
    CREATE TABLE child_days (child_id TEXT NOT NULL REFERENCES children(id), day TEXT NOT NULL,
        under_grant BIGINT NOT NULL DEFAULT 0, exchanged BIGINT NOT NULL DEFAULT 0,
        PRIMARY KEY (child_id, day));
    CREATE TABLE devices (id TEXT PRIMARY KEY, child_id TEXT NOT NULL REFERENCES children(id),
        token_hash TEXT NOT NULL UNIQUE, name TEXT NOT NULL, platform TEXT NOT NULL,
        os_version TEXT NOT NULL, agent_version TEXT NOT NULL, paired_at BIGINT NOT NULL,
        last_seen BIGINT, status TEXT, usage_digest TEXT, removed INTEGER NOT NULL DEFAULT 0);
    CREATE INDEX devices_child ON devices(child_id);
    CREATE TABLE usage (device_id TEXT NOT NULL REFERENCES devices(id), day TEXT NOT NULL,
        app_id TEXT NOT NULL, app_name TEXT NOT NULL, minutes BIGINT NOT NULL,
        PRIMARY KEY (device_id, day, app_id));
    CREATE TABLE requests (id TEXT PRIMARY KEY, child_id TEXT NOT NULL REFERENCES children(id),
        kind TEXT NOT NULL, minutes BIGINT NOT NULL, app_id TEXT, app_name TEXT, note TEXT,
        status TEXT NOT NULL, created_at BIGINT NOT NULL, answered_at BIGINT,
        granted_minutes BIGINT, grant_ends_at BIGINT);
    CREATE INDEX requests_child ON requests(child_id, status);
    CREATE TABLE pairing_codes (code TEXT PRIMARY KEY,
        child_id TEXT NOT NULL REFERENCES children(id), expires_at BIGINT NOT NULL,
        used INTEGER NOT NULL DEFAULT 0);
    CREATE TABLE attempts (bucket TEXT NOT NULL, at BIGINT NOT NULL);
    CREATE INDEX attempts_bucket ON attempts(bucket, at);
    CREATE TABLE events (id {serial}, family_id TEXT NOT NULL, kind TEXT NOT NULL,
        data TEXT NOT NULL, at BIGINT NOT NULL);
    CREATE INDEX events_family ON events(family_id, id))",
    R"(CREATE TABLE family_tokens (token_hash TEXT PRIMARY KEY, expires_at BIGINT NOT NULL))",
    // Grants so far were all a parent's.
    R"(ALTER TABLE children ADD COLUMN parent_grant_ends_at BIGINT;
    UPDATE children SET parent_grant_ends_at = grant_ends_at)",
    // The revision of the child's rules the computer has applied, and since when; attempts are
    // counted before they are judged, and forgiven by their ticket when they succeed.
    R"(ALTER TABLE devices ADD COLUMN applied_revision BIGINT;
    ALTER TABLE devices ADD COLUMN applied_at BIGINT;
    ALTER TABLE attempts ADD COLUMN ticket TEXT;
    CREATE INDEX attempts_ticket ON attempts(ticket))",
    // One night's later bedtime; what a grant replaced, for its undo; what the parents were told
    // of each computer and the token that answers a request from a notification; the rules each
    // day had, so that past days keep their own limits (today's rules stand for the days before);
    // the browsers that get push messages.
    R"(ALTER TABLE children ADD COLUMN bedtime_delayed_until BIGINT;
    ALTER TABLE children ADD COLUMN before_grant TEXT;
    ALTER TABLE devices ADD COLUMN protection_told INTEGER NOT NULL DEFAULT 0;
    ALTER TABLE devices ADD COLUMN offline_told INTEGER NOT NULL DEFAULT 0;
    ALTER TABLE requests ADD COLUMN answer_token_hash TEXT;
    CREATE TABLE rule_days (child_id TEXT NOT NULL REFERENCES children(id), day TEXT NOT NULL,
        rules TEXT NOT NULL, PRIMARY KEY (child_id, day));
    INSERT INTO rule_days (child_id, day, rules) SELECT id, '0000-00-00', rules FROM children;
    CREATE TABLE push_subscriptions (endpoint TEXT PRIMARY KEY,
        parent_id TEXT NOT NULL REFERENCES parents(id), family_id TEXT NOT NULL,
        p256dh TEXT NOT NULL, auth TEXT NOT NULL, created_at BIGINT NOT NULL);
    CREATE INDEX push_subscriptions_family ON push_subscriptions(family_id))",
};

} // namespace

void migrate(Database& db) {
    db.transact([&](Transaction& tx) {
        tx.lock("migration");
        tx.query("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)");
        const auto row = tx.one("SELECT value FROM meta WHERE key = 'schema_version'");
        const auto version = row ? std::stoul(row->text(0)) : 0ul;
        if (version > migrations.size())
            throw DatabaseError("the database was made by a newer server (schema " + row->text(0) +
                                ")");
        for (auto v = version; v < migrations.size(); ++v) {
            std::string script = migrations[v];
            if (const auto at = script.find("{serial}"); at != std::string::npos)
                script.replace(at, 8, db.serialKey());
            std::size_t start = 0;
            while (start < script.size()) {
                auto end = script.find(';', start);
                if (end == std::string::npos) end = script.size();
                tx.query(script.substr(start, end - start));
                start = end + 1;
            }
        }
        tx.query("INSERT INTO meta (key, value) VALUES ('schema_version', $1) "
                 "ON CONFLICT (key) DO UPDATE SET value = excluded.value",
                 {std::to_string(migrations.size())});
    });
}

} // namespace tovu::server
