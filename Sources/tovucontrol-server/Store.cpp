#include "Store.hpp"

#include "Security.hpp"
#include "Topics.hpp"
#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Iso.hpp"
#include "TovuProtocol/Json.hpp"
#include "Zone.hpp"

#include <algorithm>
#include <map>

namespace tovu::server {

// A child with the time zone of its family, as the store keeps it.
struct ChildRow {
    std::string id;
    std::string familyId;
    std::string name;
    ChildRules rules;
    std::int64_t points = 0;
    bool lockedByParent = false;
    std::optional<std::int64_t> grantEnd;
    std::vector<std::string> grantApps;
    std::string timeZone;
    std::optional<std::int64_t> parentGrantEnd;
    std::int64_t revision = 0; // moves on with every change of a parent or the child
};

namespace {

using nlohmann::json;
using namespace std::chrono;

constexpr std::int64_t sessionDays = 30;
constexpr auto codeLifetime = minutes(10);
constexpr auto onlineWindow = minutes(3);
constexpr std::int64_t answeredShown = 50;

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
};

std::int64_t secs(Time t) {
    return duration_cast<seconds>(t.time_since_epoch()).count();
}

Time fromSecs(std::int64_t s) {
    return Time(seconds(s));
}

json isoOrNull(const std::optional<std::int64_t>& s) {
    return s ? json(Iso::format(fromSecs(*s))) : json(nullptr);
}

json textOrNull(const std::optional<std::string>& s) {
    return s ? json(*s) : json(nullptr);
}

Value opt(const std::optional<std::string>& s) {
    return s ? Value(*s) : Value(nullptr);
}

Refusal notFound() {
    return Refusal(404, "Không tìm thấy mục này trong gia đình.");
}

const std::string childColumns =
    "c.id, c.family_id, c.name, c.rules, c.points, c.locked_by_parent, c.grant_ends_at, "
    "c.grant_apps, f.time_zone, c.parent_grant_ends_at, c.version";

ChildRow childFrom(const Row& r, std::size_t at = 0) {
    ChildRow c;
    c.id = r.text(at);
    c.familyId = r.text(at + 1);
    c.name = r.text(at + 2);
    c.rules = Json::parse(r.text(at + 3)).get<ChildRules>();
    c.points = r.integer(at + 4);
    c.lockedByParent = r.integer(at + 5) != 0;
    c.grantEnd = r.optInteger(at + 6);
    c.grantApps = Json::parse(r.text(at + 7)).get<std::vector<std::string>>();
    c.timeZone = r.text(at + 8);
    c.parentGrantEnd = r.optInteger(at + 9);
    c.revision = r.integer(at + 10);
    return c;
}

// Reads a child of the family; `forUpdate` first takes the child's row, so that changes to
// one child from several processes run one after the other.
ChildRow loadChild(Transaction& tx, const std::string& childId, const std::string& familyId,
                   bool forUpdate) {
    if (forUpdate) {
        const auto bumped = tx.one("UPDATE children SET version = version + 1 "
                                   "WHERE id = $1 AND family_id = $2 RETURNING version",
                                   {childId, familyId});
        if (!bumped) throw notFound();
        // The child's computers waiting on the server hear of it once this commits.
        tx.notify(Topics::child(childId, bumped->integer(0)));
    }
    auto r = tx.one("SELECT " + childColumns +
                        " FROM children c JOIN families f ON f.id = c.family_id "
                        "WHERE c.id = $1 AND c.family_id = $2",
                    {childId, familyId});
    if (!r) throw notFound();
    return childFrom(*r);
}

json childJson(const ChildRow& c, Time now) {
    const bool granting = c.grantEnd && fromSecs(*c.grantEnd) > now;
    return {{"id", c.id},
            {"name", c.name},
            {"pointsBalance", c.points},
            {"rules", c.rules},
            {"lockedByParent", c.lockedByParent},
            {"grantEndsAt", granting ? isoOrNull(c.grantEnd) : json(nullptr)}};
}

// An event for the family's consoles, to run in the transaction.
Statement event(Transaction& tx, const std::string& familyId, const std::string& kind,
                const json& data, Time now) {
    tx.notify(Topics::family(familyId));
    return {"INSERT INTO events (family_id, kind, data, at) VALUES ($1, $2, $3, $4)",
            {familyId, kind, Json::encode(data), secs(now)}};
}

void emit(Transaction& tx, const std::string& familyId, const std::string& kind, const json& data,
          Time now) {
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

// One statement for what the policy needs besides the child's row: each sync asks it, and
// each round trip to PostgreSQL counts.
Statement stateQuery(const ChildRow& c, const LocalTime& local) {
    return {"SELECT (SELECT COALESCE(SUM(u.minutes), 0) FROM usage u "
            "JOIN devices d ON d.id = u.device_id "
            "WHERE d.child_id = $1 AND u.day = $2), "
            "(SELECT COALESCE(MAX(under_grant), 0) FROM child_days "
            "WHERE child_id = $1 AND day = $2), "
            "CASE WHEN EXISTS (SELECT 1 FROM requests "
            "WHERE child_id = $1 AND status = 'cho') THEN 1 ELSE 0 END",
            {c.id, local.day}};
}

ChildState stateFrom(const ChildRow& c, const Row& r) {
    ChildState s;
    s.name = c.name;
    s.lockedByParent = c.lockedByParent;
    if (c.grantEnd) s.grantEnd = fromSecs(*c.grantEnd);
    if (c.parentGrantEnd) s.parentGrantEnd = fromSecs(*c.parentGrantEnd);
    s.grantApps = c.grantApps;
    s.usedToday = r.integer(0);
    s.usedUnderGrant = r.integer(1);
    s.requestWaiting = r.integer(2) != 0;
    return s;
}

ChildState stateOf(Transaction& tx, const ChildRow& c, const LocalTime& local) {
    const auto s = stateQuery(c, local);
    return stateFrom(c, *tx.one(s.sql, s.params));
}

// The revision a computer says it applied, when it is news: never past the child's own, never
// back to an older one.
bool appliedNews(std::optional<std::int64_t> stored, std::optional<std::int64_t> reported,
                 std::int64_t current) {
    return reported && *reported <= current && (!stored || *reported > *stored);
}

// Extends the running grant, or starts one now. A parent's grant also ends their lock and lifts
// bedtime and the hours until it ends; time bought with points only adds to the day.
std::int64_t giveTime(Transaction& tx, ChildRow& c, std::int64_t minutesGiven,
                      const std::optional<std::string>& app, Time now, bool byParent) {
    const auto from = std::max(secs(now), c.grantEnd.value_or(0));
    if (!c.grantEnd || *c.grantEnd <= secs(now)) c.grantApps.clear();
    if (app && std::find(c.grantApps.begin(), c.grantApps.end(), *app) == c.grantApps.end())
        c.grantApps.push_back(*app);
    c.grantEnd = from + minutesGiven * 60;
    if (byParent) {
        c.parentGrantEnd = c.grantEnd;
        c.lockedByParent = false;
    }
    tx.query("UPDATE children SET grant_ends_at = $1, grant_apps = $2, parent_grant_ends_at = $3, "
             "locked_by_parent = $4 WHERE id = $5",
             {*c.grantEnd, Json::encode(c.grantApps),
              c.parentGrantEnd ? Value(*c.parentGrantEnd) : Value(nullptr),
              std::int64_t{c.lockedByParent}, c.id});
    return *c.grantEnd;
}

// A parent's grant while their lock is on lifts the lock: asked for in so many words.
void checkLiftsLock(const ChildRow& c, bool liftLock) {
    if (c.lockedByParent && !liftLock)
        throw Refusal(409,
                      "Máy của " + c.name +
                          " đang bị bố mẹ khoá. Cho thêm giờ sẽ mở khoá máy cho đến khi hết giờ.",
                      "unlock");
}

const std::string requestColumns =
    "r.id, r.child_id, c.name, r.kind, r.minutes, r.app_id, r.app_name, r.note, r.status, "
    "r.created_at, r.answered_at, r.grant_ends_at";

json requestJson(const Row& r) {
    return {{"id", r.text(0)},
            {"childId", r.text(1)},
            {"childName", r.text(2)},
            {"kind", r.text(3)},
            {"minutes", r.integer(4)},
            {"appId", textOrNull(r.optText(5))},
            {"appName", textOrNull(r.optText(6))},
            {"note", textOrNull(r.optText(7))},
            {"status", r.text(8)},
            {"createdAt", isoOrNull(r.optInteger(9))},
            {"answeredAt", isoOrNull(r.optInteger(10))},
            {"grantEndsAt", isoOrNull(r.optInteger(11))}};
}

json requestById(Transaction& tx, const std::string& id) {
    return requestJson(*tx.one("SELECT " + requestColumns +
                                   " FROM requests r JOIN children c ON c.id = r.child_id "
                                   "WHERE r.id = $1",
                               {id}));
}

// Counts an attempt in each bucket before it is judged, unless a bucket holds the limit within
// the window already (false, nothing counted). The buckets are locked first, so that attempts
// at the same moment, in any server process, are counted one after the other. ticket names the
// attempt for forgive().
bool countAttempt(Transaction& tx, std::vector<std::string> buckets, const std::string& ticket,
                  Time now) {
    std::sort(buckets.begin(), buckets.end());
    for (const auto& b : buckets)
        tx.lock("attempts " + b);
    const auto since = secs(now - Store::attemptWindow);
    for (const auto& b : buckets)
        if (tx.one("SELECT COUNT(*) FROM attempts WHERE bucket = $1 AND at > $2", {b, since})
                ->integer(0) >= Store::attemptLimit)
            return false;
    tx.query("DELETE FROM attempts WHERE at <= $1", {since});
    for (const auto& b : buckets)
        tx.query("INSERT INTO attempts (bucket, at, ticket) VALUES ($1, $2, $3)",
                 {b, secs(now), ticket});
    return true;
}

// An attempt that succeeded counts for nothing.
void forgive(Transaction& tx, const std::string& ticket) {
    tx.query("DELETE FROM attempts WHERE ticket = $1", {ticket});
}

Refusal tooManyAttempts() {
    return Refusal(429, "Thử quá nhiều lần. Hãy đợi 10 phút rồi thử lại.");
}

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

// The report with the last entry of each app and day kept.
std::vector<UsageEntry> latestOfEach(const std::vector<UsageEntry>& usage) {
    std::map<std::pair<std::string, std::string>, const UsageEntry*> latest;
    for (const auto& e : usage)
        latest[{e.day, e.appId}] = &e;
    std::vector<UsageEntry> out;
    out.reserve(latest.size());
    for (const auto& [key, e] : latest)
        out.push_back(*e);
    return out;
}

// Statements that replace the device's usage of the reported days with the report, a few rows
// per statement so that their shapes, each prepared once, stay few. The upsert never collides
// with another sync of the same computer.
std::vector<Statement> replaceUsage(const std::string& deviceId,
                                    const std::vector<UsageEntry>& rows) {
    constexpr std::size_t rowsPerStatement = 16;
    std::vector<std::string> days;
    for (const auto& e : rows)
        if (std::find(days.begin(), days.end(), e.day) == days.end()) days.push_back(e.day);
    std::vector<Statement> out;
    const auto param = [](Params& params, Value v) {
        params.push_back(std::move(v));
        return "$" + std::to_string(params.size());
    };
    const auto statements = [&](const std::string& head, std::size_t count, const auto& row,
                                const std::string& tail) {
        for (std::size_t at = 0; at < count; at += rowsPerStatement) {
            Statement st{head, {deviceId}};
            for (std::size_t i = at; i < std::min(count, at + rowsPerStatement); ++i) {
                if (i > at) st.sql += ", ";
                st.sql += row(i, st.params);
            }
            st.sql += tail;
            out.push_back(std::move(st));
        }
    };
    statements(
        "DELETE FROM usage WHERE device_id = $1 AND day IN (", days.size(),
        [&](std::size_t i, Params& p) { return param(p, days[i]); }, ")");
    statements(
        "INSERT INTO usage (device_id, day, app_id, app_name, minutes) VALUES ", rows.size(),
        [&](std::size_t i, Params& p) {
            const auto& e = rows[i];
            std::string group = "($1";
            for (Value v : {Value(e.day), Value(e.appId), Value(e.appName), Value(e.minutes)})
                group += ", " + param(p, std::move(v));
            return group + ")";
        },
        " ON CONFLICT (device_id, day, app_id) DO UPDATE SET app_name = excluded.app_name, "
        "minutes = excluded.minutes");
    return out;
}

std::string usageDigest(const std::vector<UsageEntry>& usage) {
    return Security::tokenHash(Json::encode(usage));
}

} // namespace

Store::Store(Database& db, const Clock& clock)
    : db_(db)
    , clock_(clock) {
    db_.transact([&](Transaction& tx) {
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
                script.replace(at, 8, db_.serialKey());
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

json Store::changeChild(const Parent& parent, const std::string& childId,
                        const std::function<void(Transaction&, ChildRow&)>& change) {
    const auto now = clock_.now();
    json out;
    db_.transact([&](Transaction& tx) {
        auto c = loadChild(tx, childId, parent.familyId, true);
        change(tx, c);
        changed(tx, parent.familyId, "family", now);
        out = childJson(c, now);
    });
    return out;
}

// --- Devices ---

PairResult Store::pair(const Pairing& p, const std::string& address) {
    const auto now = clock_.now();
    PairResult result;
    std::optional<Refusal> refused;
    db_.transact([&](Transaction& tx) {
        const auto ticket = Security::newId();
        if (!countAttempt(tx, {"pair-address:" + address, "pair-code:" + p.code}, ticket, now)) {
            refused = tooManyAttempts();
            return;
        }
        const auto code = tx.one("SELECT child_id, expires_at, used FROM pairing_codes "
                                 "WHERE code = $1",
                                 {p.code});
        if (!code || code->integer(2) != 0 || code->integer(1) <= secs(now)) {
            refused = code && code->integer(2) == 0 ? Refusal(410, "Mã ghép hết hạn")
                                                    : Refusal(404, "Mã ghép không đúng");
            return;
        }
        if (tx.change("UPDATE pairing_codes SET used = 1 WHERE code = $1 AND used = 0", {p.code}) ==
            0) {
            refused = Refusal(404, "Mã ghép không đúng");
            return;
        }
        forgive(tx, ticket);
        const auto childId = code->text(0);
        const auto child = tx.one("SELECT name, family_id FROM children WHERE id = $1", {childId});
        result.deviceId = Security::newId();
        result.token = Security::newToken();
        result.childName = child->text(0);
        tx.query("INSERT INTO devices (id, child_id, token_hash, name, platform, os_version, "
                 "agent_version, paired_at) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
                 {result.deviceId, childId, Security::tokenHash(result.token), p.deviceName,
                  p.platform, p.osVersion, p.agentVersion, secs(now)});
        changed(tx, child->text(1), "family", now);
    });
    if (refused) throw *refused;
    return result;
}

std::optional<DeviceRef> Store::device(const std::string& token) {
    std::optional<DeviceRef> ref;
    db_.transact([&](Transaction& tx) {
        if (auto r = tx.one("SELECT d.id, d.child_id, c.family_id, d.token_hash FROM devices d "
                            "JOIN children c ON c.id = d.child_id "
                            "WHERE d.token_hash = $1 AND d.removed = 0",
                            {Security::tokenHash(token)});
            r && Security::sameSecret(r->text(3), Security::tokenHash(token)))
            ref = DeviceRef{r->text(0), r->text(1), r->text(2)};
    });
    return ref;
}

std::optional<SyncAnswer> Store::sync(const std::string& token, const SyncReport& report) {
    const auto now = clock_.now();
    const auto hash = Security::tokenHash(token);
    const auto rows = latestOfEach(report.usage);
    std::string firstDay = "9999";
    for (const auto& e : rows)
        firstDay = std::min(firstDay, e.day);
    std::optional<SyncAnswer> answer;
    db_.transact([&](Transaction& tx) {
        answer.reset();
        // Two round trips: what the device and its child are, then every change with the
        // commit. The first statement takes the device's row, so that overlapping syncs of one
        // computer run one after the other.
        const auto read = tx.batch({
            {"UPDATE devices SET last_seen = last_seen WHERE token_hash = $1 AND removed = 0",
             {hash}},
            {"SELECT d.id, d.last_seen, d.status, d.usage_digest, d.token_hash, "
             "d.applied_revision, " +
                 childColumns +
                 " FROM devices d JOIN children c ON c.id = d.child_id "
                 "JOIN families f ON f.id = c.family_id "
                 "WHERE d.token_hash = $1 AND d.removed = 0",
             {hash}},
            {"SELECT u.day, SUM(u.minutes) FROM usage u JOIN devices d ON d.id = u.device_id "
             "WHERE d.token_hash = $1 AND u.day >= $2 GROUP BY u.day",
             {hash, firstDay}},
        });
        if (read[1].empty() || !Security::sameSecret(read[1][0].text(4), hash)) return;
        const auto& r = read[1][0];
        const auto deviceId = r.text(0);
        const auto lastSeen = r.optInteger(1);
        const auto child = childFrom(r, 6);
        const auto local = Zone::local(now, child.timeZone);

        std::vector<Statement> writes;
        const auto digest = usageDigest(rows);
        if (r.optText(3) != digest) {
            // Minutes used while a grant ran are the grant's, not the day's allowance.
            const bool granting = child.grantEnd && *child.grantEnd > lastSeen.value_or(secs(now));
            std::int64_t before = 0, after = 0;
            for (const auto& day : read[2])
                if (day.text(0) == local.day) before = day.integer(1);
            for (const auto& e : rows)
                if (e.day == local.day) after += e.minutes;
            writes = replaceUsage(deviceId, rows);
            if (granting && after > before)
                writes.push_back(
                    {"INSERT INTO child_days (child_id, day, under_grant) VALUES ($1, $2, $3) "
                     "ON CONFLICT (child_id, day) DO UPDATE SET "
                     "under_grant = child_days.under_grant + excluded.under_grant",
                     {child.id, local.day, after - before}});
            writes.push_back(changedStatement(tx, child.familyId, "usage", now));
        }
        const auto status = Json::encode(report.status);
        const bool applied = appliedNews(r.optInteger(5), report.revision, child.revision);
        writes.push_back(
            {"UPDATE devices SET last_seen = $1, status = $2, usage_digest = $3, "
             "agent_version = COALESCE($4, agent_version), "
             "os_version = COALESCE($5, os_version), "
             "applied_revision = COALESCE($6, applied_revision), "
             "applied_at = COALESCE($7, applied_at) WHERE id = $8",
             {secs(now), status, digest, opt(report.agentVersion), opt(report.osVersion),
              applied ? Value(*report.revision) : Value(nullptr),
              applied ? Value(secs(now)) : Value(nullptr), deviceId}});
        if (r.optText(2) != status || applied)
            writes.push_back(changedStatement(tx, child.familyId, "family", now));
        writes.push_back(stateQuery(child, local));
        const auto done = tx.finish(writes);
        answer =
            SyncAnswer{Engine::policy(child.rules, stateFrom(child, done.back().at(0)), local, now),
                       child.revision,
                       {}};
    });
    return answer;
}

std::optional<WaitStart> Store::waitFrom(const std::string& token, std::int64_t applied) {
    const auto now = clock_.now();
    const auto hash = Security::tokenHash(token);
    std::optional<WaitStart> start;
    db_.transact([&](Transaction& tx) {
        const auto r = tx.one("SELECT d.id, d.child_id, c.family_id, d.token_hash, "
                              "d.applied_revision, c.version FROM devices d "
                              "JOIN children c ON c.id = d.child_id "
                              "WHERE d.token_hash = $1 AND d.removed = 0",
                              {hash});
        if (!r || !Security::sameSecret(r->text(3), hash)) return;
        start = WaitStart{r->text(1), r->integer(5)};
        if (!appliedNews(r->optInteger(4), applied, start->revision)) return;
        tx.query("UPDATE devices SET applied_revision = $1, applied_at = $2 WHERE id = $3",
                 {applied, secs(now), r->text(0)});
        changed(tx, r->text(2), "family", now);
    });
    return start;
}

RequestResult Store::request(const DeviceRef& device, const NewRequest& n) {
    const auto now = clock_.now();
    RequestResult result;
    db_.transact([&](Transaction& tx) {
        auto child = loadChild(tx, device.childId, device.familyId, true);
        result.id = Security::newId();
        std::string status(Contract::Status::waiting);
        std::optional<std::int64_t> grantEnd;
        if (n.kind == Contract::Kind::exchange) {
            const auto local = Zone::local(now, child.timeZone);
            const auto& day = local.day;
            const auto exchanged = tx.one("SELECT exchanged FROM child_days "
                                          "WHERE child_id = $1 AND day = $2",
                                          {child.id, day});
            const auto done = exchanged ? exchanged->integer(0) : 0;
            const auto inForce = Engine::policy(child.rules, stateOf(tx, child, local), local, now);
            result.message =
                Engine::exchangeRefusal(child.rules, inForce, child.points, done, n.minutes);
            if (!result.message) {
                tx.query("UPDATE children SET points = points - $1 WHERE id = $2",
                         {Engine::price(child.rules, n.minutes), child.id});
                tx.query("INSERT INTO child_days (child_id, day, exchanged) VALUES ($1, $2, $3) "
                         "ON CONFLICT (child_id, day) DO UPDATE SET "
                         "exchanged = child_days.exchanged + excluded.exchanged",
                         {child.id, day, n.minutes});
                grantEnd = giveTime(tx, child, n.minutes, std::nullopt, now, false);
                status = Contract::Status::granted;
                result.status = Contract::Status::grantedAtOnce;
                result.grantEndsAt = Iso::format(fromSecs(*grantEnd));
            } else {
                status = result.status = Contract::Status::refused;
            }
        } else {
            // A new question replaces the one still waiting.
            tx.query("UPDATE requests SET status = 'thay', answered_at = $1 "
                     "WHERE child_id = $2 AND status = 'cho'",
                     {secs(now), child.id});
            result.status = "cho";
        }
        const bool answered = status != "cho";
        tx.query("INSERT INTO requests (id, child_id, kind, minutes, app_id, app_name, note, "
                 "status, created_at, answered_at, granted_minutes, grant_ends_at) "
                 "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12)",
                 {result.id, child.id, n.kind, n.minutes, opt(n.appId), opt(n.appName), opt(n.note),
                  status, secs(now), answered ? Value(secs(now)) : Value(nullptr),
                  grantEnd ? Value(n.minutes) : Value(nullptr),
                  grantEnd ? Value(*grantEnd) : Value(nullptr)});
        if (answered) {
            changed(tx, child.familyId, "requests", now);
            if (grantEnd) changed(tx, child.familyId, "family", now);
        } else {
            emit(tx, child.familyId, "request", requestById(tx, result.id), now);
        }
    });
    return result;
}

std::optional<RequestState> Store::requestState(const DeviceRef& device, const std::string& id) {
    std::optional<RequestState> state;
    db_.transact([&](Transaction& tx) {
        if (auto r = tx.one("SELECT status, granted_minutes, grant_ends_at FROM requests "
                            "WHERE id = $1 AND child_id = $2",
                            {id, device.childId})) {
            state = RequestState{r->text(0), r->optInteger(1), std::nullopt};
            if (auto end = r->optInteger(2)) state->grantEndsAt = Iso::format(fromSecs(*end));
        }
    });
    return state;
}

// --- Setup and sessions ---

bool Store::setupNeeded() {
    bool needed = false;
    db_.transact([&](Transaction& tx) { needed = !tx.one("SELECT 1 FROM parents LIMIT 1"); });
    return needed;
}

std::string Store::setupToken(const std::optional<std::string>& wanted) {
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

Parent Store::setup(const std::string& token, const std::string& familyName,
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

std::string Store::familyToken() {
    const auto now = clock_.now();
    const auto token = Security::newId();
    db_.transact([&](Transaction& tx) {
        tx.query("DELETE FROM family_tokens WHERE expires_at <= $1", {secs(now)});
        tx.query("INSERT INTO family_tokens (token_hash, expires_at) VALUES ($1, $2)",
                 {Security::tokenHash(token), secs(now + familyTokenLifetime)});
    });
    return token;
}

Parent Store::login(const std::string& name, const std::string& password,
                    const std::string& address) {
    const auto now = clock_.now();
    const auto ticket = Security::newId();
    std::optional<Parent> parent;
    std::string hash;
    bool counted = false;
    db_.transact([&](Transaction& tx) {
        counted = countAttempt(tx, {"login-address:" + address, "login-name:" + name}, ticket, now);
        if (auto r = tx.one("SELECT id, name, family_id, password_hash FROM parents "
                            "WHERE name = $1",
                            {name})) {
            parent = Parent{r->text(0), r->text(1), r->text(2)};
            hash = r->text(3);
        }
    });
    if (!counted) throw tooManyAttempts();
    // The slow hash runs outside the transaction; an unknown name costs as much as a known one.
    static const std::string decoy = Security::hashPassword("decoy password");
    if (!Security::checkPassword(parent ? hash : decoy, password) || !parent)
        throw Refusal(401, "Sai tên hoặc mật khẩu.");
    db_.transact([&](Transaction& tx) { forgive(tx, ticket); });
    return *parent;
}

std::string Store::openSession(const Parent& parent) {
    const auto now = clock_.now();
    const auto token = Security::newToken();
    db_.transact([&](Transaction& tx) {
        tx.query("DELETE FROM sessions WHERE expires_at <= $1", {secs(now)});
        tx.query("INSERT INTO sessions (token_hash, parent_id, expires_at) VALUES ($1, $2, $3)",
                 {Security::tokenHash(token), parent.id, secs(now + days(sessionDays))});
    });
    return token;
}

std::optional<Parent> Store::session(const std::string& token) {
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

void Store::closeSession(const std::string& token) {
    db_.transact([&](Transaction& tx) {
        tx.query("DELETE FROM sessions WHERE token_hash = $1", {Security::tokenHash(token)});
    });
}

// --- Console ---

json Store::family(const Parent& parent) {
    json out;
    db_.transact([&](Transaction& tx) {
        const auto r =
            tx.one("SELECT id, name, time_zone FROM families WHERE id = $1", {parent.familyId});
        out = {{"id", r->text(0)}, {"name", r->text(1)}, {"timeZone", r->text(2)}};
    });
    return out;
}

json Store::familyView(const Parent& parent) {
    const auto now = clock_.now();
    json out{{"family", family(parent)},
             {"parents", json::array()},
             {"children", json::array()},
             {"devices", json::array()}};
    db_.transact([&](Transaction& tx) {
        for (const auto& r : tx.query("SELECT id, name FROM parents WHERE family_id = $1 "
                                      "ORDER BY created_at, name",
                                      {parent.familyId}))
            out["parents"].push_back({{"id", r.text(0)}, {"name", r.text(1)}});
        for (const auto& r : tx.query("SELECT " + childColumns +
                                          " FROM children c JOIN families f ON f.id = c.family_id "
                                          "WHERE c.family_id = $1 ORDER BY c.created_at, c.name",
                                      {parent.familyId}))
            out["children"].push_back(childJson(childFrom(r), now));
        for (const auto& r :
             tx.query("SELECT d.id, d.child_id, d.name, d.platform, d.os_version, "
                      "d.agent_version, d.last_seen, d.status, d.applied_revision, d.applied_at, "
                      "c.version FROM devices d "
                      "JOIN children c ON c.id = d.child_id "
                      "WHERE c.family_id = $1 AND d.removed = 0 ORDER BY d.paired_at",
                      {parent.familyId})) {
            const auto seen = r.optInteger(6);
            const auto status = r.optText(7) ? Json::parse(*r.optText(7)) : json::object();
            const auto field = [&](const char* key) {
                return status.contains(key) ? status[key] : json(nullptr);
            };
            out["devices"].push_back(
                {{"id", r.text(0)},
                 {"childId", r.text(1)},
                 {"name", r.text(2)},
                 {"platform", r.text(3)},
                 {"osVersion", r.text(4)},
                 {"agentVersion", r.text(5)},
                 {"online", seen && now - fromSecs(*seen) < onlineWindow},
                 {"lastSeen", isoOrNull(seen)},
                 {"protected", field("protected")},
                 {"helperAlive", field("helperAlive")},
                 {"childIsAdmin", field("childIsAdmin")},
                 {"childUser", field("childUser")},
                 {"reason", field("reason")},
                 // When the computer got the rules as they are now,
                 // or that it has yet to get the latest change.
                 {"rulesReceivedAt",
                  r.optInteger(8) == r.optInteger(10) ? isoOrNull(r.optInteger(9)) : json(nullptr)},
                 {"rulesWaiting", r.optInteger(8) && r.optInteger(8) < r.optInteger(10)}});
        }
    });
    return out;
}

json Store::addParent(const Parent& parent, const std::string& name, const std::string& password) {
    const auto hash = Security::hashPassword(password);
    const Parent added{Security::newId(), name, parent.familyId};
    db_.transact([&](Transaction& tx) {
        insertParent(tx, added, hash, clock_.now());
        changed(tx, parent.familyId, "family", clock_.now());
    });
    return {{"id", added.id}, {"name", added.name}};
}

json Store::addChild(const Parent& parent, const std::string& name) {
    const auto now = clock_.now();
    const auto id = Security::newId();
    json out;
    db_.transact([&](Transaction& tx) {
        tx.query("INSERT INTO children (id, family_id, name, rules, created_at) "
                 "VALUES ($1, $2, $3, $4, $5)",
                 {id, parent.familyId, name, Json::encode(json(ChildRules{})), secs(now)});
        changed(tx, parent.familyId, "family", now);
        out = childJson(loadChild(tx, id, parent.familyId, false), now);
    });
    return out;
}

json Store::setRules(const Parent& parent, const std::string& childId, const ChildRules& rules) {
    return changeChild(parent, childId, [&](Transaction& tx, ChildRow& c) {
        tx.query("UPDATE children SET rules = $1 WHERE id = $2", {Json::encode(json(rules)), c.id});
        c.rules = rules;
    });
}

json Store::setLock(const Parent& parent, const std::string& childId, bool locked) {
    return changeChild(parent, childId, [&](Transaction& tx, ChildRow& c) {
        // Locking now also ends a running grant: the latest word of a parent holds.
        if (locked) {
            c.grantEnd.reset();
            c.parentGrantEnd.reset();
        }
        tx.query("UPDATE children SET locked_by_parent = $1, grant_ends_at = $2, "
                 "parent_grant_ends_at = $3 WHERE id = $4",
                 {std::int64_t{locked}, c.grantEnd ? Value(*c.grantEnd) : Value(nullptr),
                  c.parentGrantEnd ? Value(*c.parentGrantEnd) : Value(nullptr), c.id});
        c.lockedByParent = locked;
    });
}

json Store::grant(const Parent& parent, const std::string& childId, std::int64_t minutesGiven,
                  bool liftLock) {
    return changeChild(parent, childId, [&](Transaction& tx, ChildRow& c) {
        checkLiftsLock(c, liftLock);
        giveTime(tx, c, minutesGiven, std::nullopt, clock_.now(), true);
    });
}

json Store::addPoints(const Parent& parent, const std::string& childId, std::int64_t delta) {
    return changeChild(parent, childId, [&](Transaction& tx, ChildRow& c) {
        // Taking more than the balance leaves zero, never a debt.
        c.points = std::max<std::int64_t>(0, c.points + delta);
        tx.query("UPDATE children SET points = $1 WHERE id = $2", {c.points, c.id});
    });
}

json Store::today(const Parent& parent, const std::string& childId) {
    const auto now = clock_.now();
    json out;
    db_.transact([&](Transaction& tx) {
        const auto c = loadChild(tx, childId, parent.familyId, false);
        const auto local = Zone::local(now, c.timeZone);
        const auto state = stateOf(tx, c, local);
        const auto p = Engine::policy(c.rules, state, local, now);
        json apps = json::array();
        for (const auto& r : tx.query("SELECT u.app_id, MAX(u.app_name), SUM(u.minutes) "
                                      "FROM usage u JOIN devices d ON d.id = u.device_id "
                                      "WHERE d.child_id = $1 AND u.day = $2 "
                                      "GROUP BY u.app_id ORDER BY 3 DESC, 2",
                                      {c.id, local.day}))
            apps.push_back(
                {{"appId", r.text(0)}, {"appName", r.text(1)}, {"minutes", r.integer(2)}});
        out = {{"day", local.day},
               {"usedMinutes", state.usedToday},
               {"minutesLeft", p.minutesLeft ? json(*p.minutesLeft) : json(nullptr)},
               {"locked", p.locked},
               {"lockReason", textOrNull(p.lockReason)},
               {"grantEndsAt", textOrNull(p.grantEndsAt)},
               {"apps", apps}};
    });
    return out;
}

json Store::week(const Parent& parent, const std::string& childId) {
    const auto now = clock_.now();
    json days = json::array();
    db_.transact([&](Transaction& tx) {
        const auto c = loadChild(tx, childId, parent.familyId, false);
        const auto today = Zone::local(now, c.timeZone).day;
        std::map<std::string, std::int64_t> used;
        for (const auto& r : tx.query("SELECT u.day, SUM(u.minutes) FROM usage u "
                                      "JOIN devices d ON d.id = u.device_id "
                                      "WHERE d.child_id = $1 AND u.day >= $2 AND u.day <= $3 "
                                      "GROUP BY u.day",
                                      {c.id, Zone::addDays(today, -6), today}))
            used[r.text(0)] = r.integer(1);
        for (int i = -6; i <= 0; ++i) {
            const auto day = Zone::addDays(today, i);
            days.push_back({{"day", day}, {"minutes", used[day]}});
        }
    });
    return {{"days", days}};
}

json Store::apps(const Parent& parent, const std::string& childId) {
    json apps = json::array();
    db_.transact([&](Transaction& tx) {
        const auto c = loadChild(tx, childId, parent.familyId, false);
        for (const auto& r : tx.query("SELECT u.app_id, MAX(u.app_name) FROM usage u "
                                      "JOIN devices d ON d.id = u.device_id "
                                      "WHERE d.child_id = $1 GROUP BY u.app_id ORDER BY 2, 1",
                                      {c.id}))
            apps.push_back({{"appId", r.text(0)}, {"appName", r.text(1)}});
    });
    return {{"apps", apps}};
}

json Store::pairingCode(const Parent& parent, const std::string& childId) {
    const auto now = clock_.now();
    const auto expires = now + codeLifetime;
    std::string code;
    db_.transact([&](Transaction& tx) {
        const auto c = loadChild(tx, childId, parent.familyId, false);
        tx.query("DELETE FROM pairing_codes WHERE expires_at <= $1 OR used = 1", {secs(now)});
        // A code in use by another family stays theirs; draw again.
        do
            code = Security::newCode();
        while (tx.one("SELECT 1 FROM pairing_codes WHERE code = $1", {code}));
        tx.query("INSERT INTO pairing_codes (code, child_id, expires_at) VALUES ($1, $2, $3)",
                 {code, c.id, secs(expires)});
    });
    return {{"code", code}, {"expiresAt", Iso::format(fromSecs(secs(expires)))}};
}

void Store::removeDevice(const Parent& parent, const std::string& deviceId) {
    db_.transact([&](Transaction& tx) {
        if (tx.change("UPDATE devices SET removed = 1 WHERE id = $1 AND removed = 0 AND child_id "
                      "IN (SELECT id FROM children WHERE family_id = $2)",
                      {deviceId, parent.familyId}) == 0)
            throw notFound();
        changed(tx, parent.familyId, "family", clock_.now());
    });
}

json Store::requests(const Parent& parent) {
    json list = json::array();
    db_.transact([&](Transaction& tx) {
        const auto from = " FROM requests r JOIN children c ON c.id = r.child_id "
                          "WHERE c.family_id = $1 AND r.status ";
        for (const auto& r :
             tx.query("SELECT " + requestColumns + from + "= 'cho' ORDER BY r.created_at, r.id",
                      {parent.familyId}))
            list.push_back(requestJson(r));
        for (const auto& r :
             tx.query("SELECT " + requestColumns + from +
                          "<> 'cho' ORDER BY r.answered_at DESC, r.created_at DESC LIMIT $2",
                      {parent.familyId, answeredShown}))
            list.push_back(requestJson(r));
    });
    return {{"requests", list}};
}

json Store::answer(const Parent& parent, const std::string& requestId, bool granted,
                   std::optional<std::int64_t> minutesGiven, bool liftLock) {
    const auto now = clock_.now();
    json out;
    db_.transact([&](Transaction& tx) {
        const auto r = tx.one("SELECT r.child_id, r.minutes, r.app_id FROM requests r "
                              "JOIN children c ON c.id = r.child_id "
                              "WHERE r.id = $1 AND c.family_id = $2",
                              {requestId, parent.familyId});
        if (!r) throw notFound();
        auto c = loadChild(tx, r->text(0), parent.familyId, true);
        if (granted) checkLiftsLock(c, liftLock);
        if (tx.change("UPDATE requests SET status = $1, answered_at = $2 "
                      "WHERE id = $3 AND status = 'cho'",
                      {std::string(granted ? "duoc" : "tu_choi"), secs(now), requestId}) == 0)
            throw Refusal(409, "Yêu cầu này đã được trả lời rồi.");
        if (granted) {
            const auto given = minutesGiven.value_or(r->integer(1));
            const auto end = giveTime(tx, c, given, r->optText(2), now, true);
            tx.query("UPDATE requests SET granted_minutes = $1, grant_ends_at = $2 WHERE id = $3",
                     {given, end, requestId});
            changed(tx, parent.familyId, "family", now);
        }
        changed(tx, parent.familyId, "requests", now);
        out = requestById(tx, requestId);
    });
    return out;
}

// --- Live updates ---

std::int64_t Store::lastEvent(const std::string& familyId) {
    std::int64_t id = 0;
    db_.transact([&](Transaction& tx) {
        id = tx.one("SELECT COALESCE(MAX(id), 0) FROM events WHERE family_id = $1", {familyId})
                 ->integer(0);
        // Old events serve nobody: a console that comes back starts from now.
        tx.query("DELETE FROM events WHERE at < $1", {secs(clock_.now() - hours(24))});
    });
    return id;
}

std::vector<Event> Store::eventsAfter(const std::string& familyId, std::int64_t after) {
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
