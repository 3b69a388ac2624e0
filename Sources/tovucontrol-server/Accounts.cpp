#include "Accounts.hpp"

#include "Events.hpp"
#include "Records.hpp"
#include "Security.hpp"

#include <algorithm>

namespace tovu::server {
namespace {

constexpr std::int64_t sessionDays = 30;

// Names are how parents log in, so they are unique across every family of the server. The
// insert itself finds a taken name, so that two parents given one name at the same moment get
// 409, not a failed statement.
void insertParent(Transaction& tx, const Parent& p, const std::string& hash, Time now) {
    if (tx.query("INSERT INTO parents (id, family_id, name, password_hash, created_at) "
                 "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (name) DO NOTHING RETURNING id",
                 {p.id, p.familyId, p.name, hash, secs(now)})
            .empty())
        throw Refusal(409, "Tên này đã có người dùng, hãy chọn tên khác.");
}

} // namespace

namespace Attempts {

bool count(Transaction& tx, std::vector<std::string> buckets, const std::string& ticket, Time now) {
    std::sort(buckets.begin(), buckets.end());
    for (const auto& b : buckets)
        tx.lock("attempts " + b);
    const auto since = secs(now - window);
    for (const auto& b : buckets)
        if (tx.one("SELECT COUNT(*) FROM attempts WHERE bucket = $1 AND at > $2", {b, since})
                ->integer(0) >= limit)
            return false;
    tx.query("DELETE FROM attempts WHERE at <= $1", {since});
    for (const auto& b : buckets)
        tx.query("INSERT INTO attempts (bucket, at, ticket) VALUES ($1, $2, $3)",
                 {b, secs(now), ticket});
    return true;
}

void forgive(Transaction& tx, const std::string& ticket) {
    tx.query("DELETE FROM attempts WHERE ticket = $1", {ticket});
}

Refusal tooMany() {
    return Refusal(429, "Thử quá nhiều lần. Hãy đợi 10 phút rồi thử lại.");
}

} // namespace Attempts

Accounts::Accounts(Database& db, const Clock& clock)
    : db_(db)
    , clock_(clock) {}

bool Accounts::setupNeeded() {
    bool needed = false;
    db_.transact([&](Transaction& tx) { needed = !tx.one("SELECT 1 FROM parents LIMIT 1"); });
    return needed;
}

std::string Accounts::setupToken(const std::optional<std::string>& wanted) {
    std::string token;
    db_.transact([&](Transaction& tx) {
        const auto kept = tx.one("SELECT value FROM meta WHERE key = 'setup_token'");
        token = wanted ? *wanted : kept ? kept->text(0) : Security::newId();
        tx.query("INSERT INTO meta (key, value) VALUES ('setup_token', $1) "
                 "ON CONFLICT (key) DO UPDATE SET value = excluded.value",
                 {token});
    });
    return token;
}

Parent Accounts::setup(const std::string& token, const std::string& familyName,
                       const std::string& parentName, const std::string& password,
                       const std::string& timeZone) {
    const auto now = clock_.now();
    const auto hash = Security::hashPassword(password);
    Parent parent{Security::newId(), parentName, Security::newId()};
    db_.transact([&](Transaction& tx) {
        // The first family comes with the token printed at start; each later one with a
        // family token of its own, which this spends.
        const bool first = !tx.one("SELECT 1 FROM parents LIMIT 1");
        const auto kept = tx.one("SELECT value FROM meta WHERE key = 'setup_token'");
        const bool opens = (first && kept && Security::sameSecret(kept->text(0), token)) ||
                           tx.change("DELETE FROM family_tokens "
                                     "WHERE token_hash = $1 AND expires_at > $2",
                                     {Security::tokenHash(token), secs(now)}) == 1;
        if (!opens) throw Refusal(403, "Mã thiết lập không đúng");
        tx.query("INSERT INTO families (id, name, time_zone, created_at) VALUES ($1, $2, $3, $4)",
                 {parent.familyId, familyName, timeZone, secs(now)});
        insertParent(tx, parent, hash, now);
        tx.query("DELETE FROM meta WHERE key = 'setup_token'");
    });
    return parent;
}

std::string Accounts::familyToken() {
    const auto now = clock_.now();
    const auto token = Security::newId();
    db_.transact([&](Transaction& tx) {
        tx.query("DELETE FROM family_tokens WHERE expires_at <= $1", {secs(now)});
        tx.query("INSERT INTO family_tokens (token_hash, expires_at) VALUES ($1, $2)",
                 {Security::tokenHash(token), secs(now + familyTokenLifetime)});
    });
    return token;
}

Parent Accounts::login(const std::string& name, const std::string& password,
                       const std::string& address) {
    const auto now = clock_.now();
    const auto ticket = Security::newId();
    std::optional<Parent> parent;
    std::string hash;
    bool counted = false;
    db_.transact([&](Transaction& tx) {
        counted =
            Attempts::count(tx, {"login-address:" + address, "login-name:" + name}, ticket, now);
        if (auto r = tx.one("SELECT id, name, family_id, password_hash FROM parents "
                            "WHERE name = $1",
                            {name})) {
            parent = Parent{r->text(0), r->text(1), r->text(2)};
            hash = r->text(3);
        }
    });
    if (!counted) throw Attempts::tooMany();
    // The slow hash runs outside the transaction; an unknown name costs as much as a known one.
    static const std::string decoy = Security::hashPassword("decoy password");
    if (!Security::checkPassword(parent ? hash : decoy, password) || !parent)
        throw Refusal(401, "Sai tên hoặc mật khẩu.");
    db_.transact([&](Transaction& tx) { Attempts::forgive(tx, ticket); });
    return *parent;
}

Parent Accounts::addParent(const Parent& by, const std::string& name, const std::string& password) {
    const auto hash = Security::hashPassword(password);
    const Parent added{Security::newId(), name, by.familyId};
    db_.transact([&](Transaction& tx) {
        insertParent(tx, added, hash, clock_.now());
        changed(tx, by.familyId, "family", clock_.now());
    });
    return added;
}

void Accounts::changePassword(const Parent& parent, const std::string& current,
                              const std::string& password, const std::string& keepSession) {
    const auto now = clock_.now();
    const auto ticket = Security::newId();
    bool counted = false;
    std::string hash;
    db_.transact([&](Transaction& tx) {
        counted = Attempts::count(tx, {"password:" + parent.id}, ticket, now);
        hash = tx.one("SELECT password_hash FROM parents WHERE id = $1", {parent.id})->text(0);
    });
    if (!counted) throw Attempts::tooMany();
    if (!Security::checkPassword(hash, current))
        throw Refusal(403, "Mật khẩu hiện tại không đúng.");
    const auto fresh = Security::hashPassword(password);
    db_.transact([&](Transaction& tx) {
        Attempts::forgive(tx, ticket);
        tx.query("UPDATE parents SET password_hash = $1 WHERE id = $2", {fresh, parent.id});
        tx.query("DELETE FROM sessions WHERE parent_id = $1 AND token_hash <> $2",
                 {parent.id, Security::tokenHash(keepSession)});
    });
}

void Accounts::removeParent(const Parent& by, const std::string& parentId) {
    if (parentId == by.id)
        throw Refusal(409, "Bạn không tự xoá mình được. Hãy nhờ bố hoặc mẹ kia xoá.");
    db_.transact([&](Transaction& tx) {
        // Two parents removing each other at once: one after the other, and the second finds
        // that the one asking is gone.
        tx.lock("parents " + by.familyId);
        if (!tx.one("SELECT 1 FROM parents WHERE id = $1", {by.id}))
            throw Refusal(401, "Hãy đăng nhập lại.");
        if (!tx.one("SELECT 1 FROM parents WHERE id = $1 AND family_id = $2",
                    {parentId, by.familyId}))
            throw notFound();
        for (const char* table : {"sessions", "push_subscriptions"})
            tx.query(std::string("DELETE FROM ") + table + " WHERE parent_id = $1", {parentId});
        tx.query("DELETE FROM parents WHERE id = $1", {parentId});
        changed(tx, by.familyId, "family", clock_.now());
    });
}

std::string Accounts::openSession(const Parent& parent) {
    const auto now = clock_.now();
    const auto token = Security::newToken();
    db_.transact([&](Transaction& tx) {
        tx.query("DELETE FROM sessions WHERE expires_at <= $1", {secs(now)});
        tx.query(
            "INSERT INTO sessions (token_hash, parent_id, expires_at) VALUES ($1, $2, $3)",
            {Security::tokenHash(token), parent.id, secs(now + std::chrono::days(sessionDays))});
    });
    return token;
}

std::optional<Parent> Accounts::session(const std::string& token) {
    std::optional<Parent> parent;
    db_.transact([&](Transaction& tx) {
        if (auto r = tx.one("SELECT p.id, p.name, p.family_id FROM sessions s "
                            "JOIN parents p ON p.id = s.parent_id "
                            "WHERE s.token_hash = $1 AND s.expires_at > $2",
                            {Security::tokenHash(token), secs(clock_.now())}))
            parent = Parent{r->text(0), r->text(1), r->text(2)};
    });
    return parent;
}

void Accounts::closeSession(const std::string& token) {
    db_.transact([&](Transaction& tx) {
        tx.query("DELETE FROM sessions WHERE token_hash = $1", {Security::tokenHash(token)});
    });
}

} // namespace tovu::server
