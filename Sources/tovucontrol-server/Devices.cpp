#include "Devices.hpp"

#include "Accounts.hpp"
#include "Events.hpp"
#include "Records.hpp"
#include "Security.hpp"
#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Iso.hpp"
#include "TovuProtocol/Json.hpp"
#include "Zone.hpp"

#include <algorithm>
#include <map>

namespace tovu::server {
namespace {

// The revision a computer says it applied, when it is news: never past the child's own, never
// back to an older one.
bool appliedNews(std::optional<std::int64_t> stored, std::optional<std::int64_t> reported,
                 std::int64_t current) {
    return reported && *reported <= current && (!stored || *reported > *stored);
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

Devices::Devices(Database& db, const Clock& clock)
    : db_(db)
    , clock_(clock) {}

PairResult Devices::pair(const Pairing& p, const std::string& address) {
    const auto now = clock_.now();
    PairResult result;
    std::optional<Refusal> refused;
    db_.transact([&](Transaction& tx) {
        const auto ticket = Security::newId();
        if (!Attempts::count(tx, {"pair-address:" + address, "pair-code:" + p.code}, ticket, now)) {
            refused = Attempts::tooMany();
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
        Attempts::forgive(tx, ticket);
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

std::optional<DeviceRef> Devices::device(const std::string& token) {
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

std::optional<SyncAnswer> Devices::sync(const std::string& token, const SyncReport& report) {
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
            // Back online, or protected again: the parents may be told of the next time.
            {"UPDATE devices SET last_seen = $1, status = $2, usage_digest = $3, "
             "agent_version = COALESCE($4, agent_version), "
             "os_version = COALESCE($5, os_version), "
             "applied_revision = COALESCE($6, applied_revision), "
             "applied_at = COALESCE($7, applied_at), offline_told = 0, "
             "protection_told = CASE WHEN $2 LIKE $9 THEN protection_told ELSE 0 END "
             "WHERE id = $8",
             {secs(now), status, digest, opt(report.agentVersion), opt(report.osVersion),
              applied ? Value(*report.revision) : Value(nullptr),
              applied ? Value(secs(now)) : Value(nullptr), deviceId, unprotectedPattern}});
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

std::optional<WaitStart> Devices::waitFrom(const std::string& token, std::int64_t applied) {
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

RequestResult Devices::request(const DeviceRef& device, const NewRequest& n) {
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
            emit(tx, child.familyId, "request", {{"request", result.id}}, now);
        }
    });
    return result;
}

std::optional<RequestState> Devices::requestState(const DeviceRef& device, const std::string& id) {
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

std::vector<DeviceNotice> Devices::noticesDue() {
    const auto now = clock_.now();
    const auto hourAgo = secs(now - std::chrono::hours(1));
    std::vector<DeviceNotice> out;
    db_.transact([&](Transaction& tx) {
        out.clear();
        const auto rows = tx.query(
            "SELECT d.id, d.name, d.status, d.last_seen, d.protection_told, " + childColumns +
                " FROM devices d JOIN children c ON c.id = d.child_id "
                "JOIN families f ON f.id = c.family_id WHERE d.removed = 0 AND "
                "((d.protection_told = 0 AND d.status LIKE $1) OR "
                "(d.offline_told = 0 AND d.last_seen < $2))",
            {unprotectedPattern, hourAgo});
        for (const auto& r : rows) {
            const auto child = childFrom(r, 5);
            const auto local = Zone::local(now, child.timeZone);
            const auto status =
                r.optText(2) ? Json::parse(*r.optText(2)) : nlohmann::json::object();
            const bool lost = r.integer(4) == 0 && status.value("protected", true) == false;
            // A computer off at bedtime, or once the day's time is used, is no news.
            const bool offline =
                !lost && r.optInteger(3).value_or(hourAgo) < hourAgo &&
                !Engine::policy(child.rules, stateOf(tx, child, local), local, now).locked;
            if (!lost && !offline) continue;
            const std::string flag = lost ? "protection_told" : "offline_told";
            if (tx.change("UPDATE devices SET " + flag + " = 1 WHERE id = $1 AND " + flag + " = 0",
                          {r.text(0)}) == 0)
                continue;
            out.push_back({child.familyId, child.id, child.name, r.text(0), r.text(1), offline,
                           Json::field::optText(status, "reason"),
                           Engine::clockText(
                               Zone::local(fromSecs(r.optInteger(3).value_or(0)), child.timeZone)
                                   .minuteOfDay)});
        }
    });
    return out;
}

} // namespace tovu::server
