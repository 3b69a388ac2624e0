#include "Families.hpp"

#include "Events.hpp"
#include "Security.hpp"
#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Json.hpp"
#include "Zone.hpp"

#include <map>

namespace tovu::server {
namespace {

using namespace std::chrono;

constexpr auto codeLifetime = minutes(10);
constexpr auto onlineWindow = minutes(3);
constexpr std::int64_t answeredShown = 50;

std::optional<Time> optTime(const std::optional<std::int64_t>& s) {
    return s ? std::optional(fromSecs(*s)) : std::nullopt;
}

ChildView childView(const ChildRow& c, Time now) {
    const bool granting = c.grantEnd && fromSecs(*c.grantEnd) > now;
    return {c.id,    c.name,           c.points,
            c.rules, c.lockedByParent, granting ? optTime(c.grantEnd) : std::nullopt};
}

const std::string requestColumns =
    "r.id, r.child_id, c.name, r.kind, r.minutes, r.app_id, r.app_name, r.note, r.status, "
    "r.created_at, r.answered_at, r.grant_ends_at";
const std::string requestsOfFamily = " FROM requests r JOIN children c ON c.id = r.child_id "
                                     "WHERE c.family_id = $1 AND ";

RequestView requestFrom(const Row& r) {
    return {r.text(0),
            r.text(1),
            r.text(2),
            r.text(3),
            r.integer(4),
            r.optText(5),
            r.optText(6),
            r.optText(7),
            r.text(8),
            optTime(r.optInteger(9)),
            optTime(r.optInteger(10)),
            optTime(r.optInteger(11))};
}

// A parent's grant while their lock is on lifts the lock: asked for in so many words.
void checkLiftsLock(const ChildRow& c, bool liftLock) {
    if (c.lockedByParent && !liftLock)
        throw Refusal(409,
                      "Máy của " + c.name +
                          " đang bị bố mẹ khoá. Cho thêm giờ sẽ mở khoá máy cho đến khi hết giờ.",
                      "unlock");
}

} // namespace

Families::Families(Database& db, const Clock& clock)
    : db_(db)
    , clock_(clock) {}

ChildView Families::changeChild(const Parent& parent, const std::string& childId,
                                const std::function<void(Transaction&, ChildRow&)>& change) {
    const auto now = clock_.now();
    ChildView out;
    db_.transact([&](Transaction& tx) {
        auto c = loadChild(tx, childId, parent.familyId, true);
        change(tx, c);
        changed(tx, parent.familyId, "family", now);
        out = childView(c, now);
    });
    return out;
}

FamilyInfo Families::family(const Parent& parent) {
    FamilyInfo out;
    db_.transact([&](Transaction& tx) {
        const auto r =
            tx.one("SELECT id, name, time_zone FROM families WHERE id = $1", {parent.familyId});
        out = {r->text(0), r->text(1), r->text(2)};
    });
    return out;
}

FamilyView Families::view(const Parent& parent) {
    const auto now = clock_.now();
    FamilyView out{family(parent), {}, {}, {}};
    db_.transact([&](Transaction& tx) {
        out.parents.clear();
        out.children.clear();
        out.devices.clear();
        for (const auto& r : tx.query("SELECT id, name FROM parents WHERE family_id = $1 "
                                      "ORDER BY created_at, name",
                                      {parent.familyId}))
            out.parents.emplace_back(r.text(0), r.text(1));
        for (const auto& r : tx.query("SELECT " + childColumns +
                                          " FROM children c JOIN families f ON f.id = c.family_id "
                                          "WHERE c.family_id = $1 ORDER BY c.created_at, c.name",
                                      {parent.familyId}))
            out.children.push_back(childView(childFrom(r), now));
        for (const auto& r :
             tx.query("SELECT d.id, d.child_id, d.name, d.platform, d.os_version, "
                      "d.agent_version, d.last_seen, d.status, d.applied_revision, d.applied_at, "
                      "c.version FROM devices d "
                      "JOIN children c ON c.id = d.child_id "
                      "WHERE c.family_id = $1 AND d.removed = 0 ORDER BY d.paired_at",
                      {parent.familyId})) {
            const auto seen = optTime(r.optInteger(6));
            DeviceView d;
            d.id = r.text(0);
            d.childId = r.text(1);
            d.name = r.text(2);
            d.platform = r.text(3);
            d.osVersion = r.text(4);
            d.agentVersion = r.text(5);
            d.online = seen && now - *seen < onlineWindow;
            d.lastSeen = seen;
            if (const auto status = r.optText(7)) {
                const auto s = Json::parse(*status);
                using namespace Json::field;
                d.isProtected = optFlag(s, "protected");
                d.helperAlive = optFlag(s, "helperAlive");
                d.childIsAdmin = optFlag(s, "childIsAdmin");
                d.childUser = optText(s, "childUser");
                d.reason = optText(s, "reason");
                d.lastRefusal = optText(s, "lastRefusal");
            }
            const auto applied = r.optInteger(8);
            if (applied == r.optInteger(10)) d.rulesReceivedAt = optTime(r.optInteger(9));
            d.rulesWaiting = applied && applied < r.optInteger(10);
            out.devices.push_back(std::move(d));
        }
    });
    return out;
}

ChildView Families::addChild(const Parent& parent, const std::string& name) {
    const auto now = clock_.now();
    const auto id = Security::newId();
    ChildView out;
    db_.transact([&](Transaction& tx) {
        tx.query(
            "INSERT INTO children (id, family_id, name, rules, created_at) "
            "VALUES ($1, $2, $3, $4, $5)",
            {id, parent.familyId, name, Json::encode(nlohmann::json(ChildRules{})), secs(now)});
        changed(tx, parent.familyId, "family", now);
        out = childView(loadChild(tx, id, parent.familyId, false), now);
    });
    return out;
}

ChildView Families::setRules(const Parent& parent, const std::string& childId,
                             const ChildRules& rules) {
    return changeChild(parent, childId, [&](Transaction& tx, ChildRow& c) {
        tx.query("UPDATE children SET rules = $1 WHERE id = $2",
                 {Json::encode(nlohmann::json(rules)), c.id});
        c.rules = rules;
    });
}

ChildView Families::setLock(const Parent& parent, const std::string& childId, bool locked) {
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

ChildView Families::grant(const Parent& parent, const std::string& childId,
                          std::int64_t minutesGiven, bool liftLock) {
    return changeChild(parent, childId, [&](Transaction& tx, ChildRow& c) {
        checkLiftsLock(c, liftLock);
        giveTime(tx, c, minutesGiven, std::nullopt, clock_.now(), true);
    });
}

ChildView Families::addPoints(const Parent& parent, const std::string& childId,
                              std::int64_t delta) {
    return changeChild(parent, childId, [&](Transaction& tx, ChildRow& c) {
        // Taking more than the balance leaves zero, never a debt.
        c.points = std::max<std::int64_t>(0, c.points + delta);
        tx.query("UPDATE children SET points = $1 WHERE id = $2", {c.points, c.id});
    });
}

TodayView Families::today(const Parent& parent, const std::string& childId) {
    const auto now = clock_.now();
    TodayView out;
    db_.transact([&](Transaction& tx) {
        const auto c = loadChild(tx, childId, parent.familyId, false);
        const auto local = Zone::local(now, c.timeZone);
        const auto state = stateOf(tx, c, local);
        out.day = local.day;
        out.usedMinutes = state.usedToday;
        out.policy = Engine::policy(c.rules, state, local, now);
        out.apps.clear();
        for (const auto& r : tx.query("SELECT u.app_id, MAX(u.app_name), SUM(u.minutes) "
                                      "FROM usage u JOIN devices d ON d.id = u.device_id "
                                      "WHERE d.child_id = $1 AND u.day = $2 "
                                      "GROUP BY u.app_id ORDER BY 3 DESC, 2",
                                      {c.id, local.day}))
            out.apps.push_back({r.text(0), r.text(1), r.integer(2)});
    });
    return out;
}

std::vector<DayMinutes> Families::week(const Parent& parent, const std::string& childId) {
    const auto now = clock_.now();
    std::vector<DayMinutes> days;
    db_.transact([&](Transaction& tx) {
        days.clear();
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
            days.push_back({day, used[day]});
        }
    });
    return days;
}

std::vector<AppMinutes> Families::apps(const Parent& parent, const std::string& childId) {
    std::vector<AppMinutes> apps;
    db_.transact([&](Transaction& tx) {
        apps.clear();
        const auto c = loadChild(tx, childId, parent.familyId, false);
        for (const auto& r : tx.query("SELECT u.app_id, MAX(u.app_name) FROM usage u "
                                      "JOIN devices d ON d.id = u.device_id "
                                      "WHERE d.child_id = $1 GROUP BY u.app_id ORDER BY 2, 1",
                                      {c.id}))
            apps.push_back({r.text(0), r.text(1), 0});
    });
    return apps;
}

PairingCode Families::pairingCode(const Parent& parent, const std::string& childId) {
    const auto now = clock_.now();
    const auto expires = fromSecs(secs(now + codeLifetime));
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
    return {code, expires};
}

void Families::removeDevice(const Parent& parent, const std::string& deviceId) {
    db_.transact([&](Transaction& tx) {
        if (tx.change("UPDATE devices SET removed = 1 WHERE id = $1 AND removed = 0 AND child_id "
                      "IN (SELECT id FROM children WHERE family_id = $2)",
                      {deviceId, parent.familyId}) == 0)
            throw notFound();
        changed(tx, parent.familyId, "family", clock_.now());
    });
}

std::vector<RequestView> Families::requests(const Parent& parent) {
    std::vector<RequestView> list;
    db_.transact([&](Transaction& tx) {
        list.clear();
        for (const auto& r : tx.query("SELECT " + requestColumns + requestsOfFamily +
                                          "r.status = 'cho' ORDER BY r.created_at, r.id",
                                      {parent.familyId}))
            list.push_back(requestFrom(r));
        for (const auto& r : tx.query("SELECT " + requestColumns + requestsOfFamily +
                                          "r.status <> 'cho' "
                                          "ORDER BY r.answered_at DESC, r.created_at DESC LIMIT $2",
                                      {parent.familyId, answeredShown}))
            list.push_back(requestFrom(r));
    });
    return list;
}

std::optional<RequestView> Families::request(const std::string& familyId,
                                             const std::string& requestId) {
    std::optional<RequestView> out;
    db_.transact([&](Transaction& tx) {
        if (const auto r = tx.one("SELECT " + requestColumns + requestsOfFamily + "r.id = $2",
                                  {familyId, requestId}))
            out = requestFrom(*r);
    });
    return out;
}

RequestView Families::answer(const Parent& parent, const std::string& requestId, bool granted,
                             std::optional<std::int64_t> minutesGiven, bool liftLock) {
    const auto now = clock_.now();
    RequestView out;
    db_.transact([&](Transaction& tx) {
        const auto r = tx.one("SELECT r.child_id, r.minutes, r.app_id FROM requests r "
                              "JOIN children c ON c.id = r.child_id "
                              "WHERE r.id = $1 AND c.family_id = $2",
                              {requestId, parent.familyId});
        if (!r) throw notFound();
        auto c = loadChild(tx, r->text(0), parent.familyId, true);
        if (granted) checkLiftsLock(c, liftLock);
        const std::string status(granted ? Contract::Status::granted : Contract::Status::refused);
        if (tx.change("UPDATE requests SET status = $1, answered_at = $2 "
                      "WHERE id = $3 AND status = 'cho'",
                      {status, secs(now), requestId}) == 0)
            throw Refusal(409, "Yêu cầu này đã được trả lời rồi.");
        if (granted) {
            const auto given = minutesGiven.value_or(r->integer(1));
            const auto end = giveTime(tx, c, given, r->optText(2), now, true);
            tx.query("UPDATE requests SET granted_minutes = $1, grant_ends_at = $2 WHERE id = $3",
                     {given, end, requestId});
            changed(tx, parent.familyId, "family", now);
        }
        changed(tx, parent.familyId, "requests", now);
        out = requestFrom(*tx.one("SELECT " + requestColumns + requestsOfFamily + "r.id = $2",
                                  {parent.familyId, requestId}));
    });
    return out;
}

} // namespace tovu::server
