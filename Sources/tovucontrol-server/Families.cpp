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

// An instant while it is still to come.
std::optional<Time> ahead(const std::optional<std::int64_t>& s, Time now) {
    return s && fromSecs(*s) > now ? optTime(s) : std::nullopt;
}

ChildView childView(const ChildRow& c, Time now) {
    return {c.id,
            c.name,
            c.points,
            c.rules,
            c.lockedByParent,
            ahead(c.grantEnd, now),
            ahead(c.bedtimeDelayedUntil, now)};
}

// Two children of one family with one name would be mixed up in every message: asked first.
void checkSameName(Transaction& tx, const std::string& familyId, const std::string& name,
                   const std::string& childId, bool sameNameOk) {
    if (!sameNameOk && tx.one("SELECT 1 FROM children WHERE family_id = $1 AND name = $2 "
                              "AND id <> $3",
                              {familyId, name, childId}))
        throw Refusal(409, "Gia đình đã có một con tên " + name + ". Vẫn dùng tên này?",
                      "sameName");
}

// The rules of the child's day as they are now; the last change of a day is what held.
void keepDayRules(Transaction& tx, const std::string& childId, const std::string& day,
                  const ChildRules& rules) {
    tx.query("INSERT INTO rule_days (child_id, day, rules) VALUES ($1, $2, $3) "
             "ON CONFLICT (child_id, day) DO UPDATE SET rules = excluded.rules",
             {childId, day, Json::encode(nlohmann::json(rules))});
}

Value orNull(const std::optional<std::int64_t>& v) {
    return v ? Value(*v) : Value(nullptr);
}

nlohmann::json orNullJson(const std::optional<std::int64_t>& v) {
    return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

// A parent's grant, keeping what it replaces (and the request it answers) for its undo.
std::int64_t grantUndoably(Transaction& tx, ChildRow& c, std::int64_t minutesGiven,
                           const std::optional<std::string>& app, Time now,
                           const std::optional<std::string>& requestId) {
    nlohmann::json before{{"revision", c.revision},
                          {"grantEnd", orNullJson(c.grantEnd)},
                          {"parentGrantEnd", orNullJson(c.parentGrantEnd)},
                          {"grantApps", c.grantApps},
                          {"locked", c.lockedByParent}};
    if (requestId) before["request"] = *requestId;
    const auto end = giveTime(tx, c, minutesGiven, app, now, true);
    tx.query("UPDATE children SET before_grant = $1 WHERE id = $2", {Json::encode(before), c.id});
    return end;
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

ChildView Families::addChild(const Parent& parent, const std::string& name, bool sameNameOk) {
    const auto now = clock_.now();
    const auto id = Security::newId();
    ChildView out;
    db_.transact([&](Transaction& tx) {
        tx.lock("children " + parent.familyId);
        checkSameName(tx, parent.familyId, name, id, sameNameOk);
        tx.query(
            "INSERT INTO children (id, family_id, name, rules, created_at) "
            "VALUES ($1, $2, $3, $4, $5)",
            {id, parent.familyId, name, Json::encode(nlohmann::json(ChildRules{})), secs(now)});
        const auto c = loadChild(tx, id, parent.familyId, false);
        keepDayRules(tx, id, Zone::local(now, c.timeZone).day, c.rules);
        changed(tx, parent.familyId, "family", now);
        out = childView(c, now);
    });
    return out;
}

ChildView Families::renameChild(const Parent& parent, const std::string& childId,
                                const std::string& name, bool sameNameOk) {
    return changeChild(parent, childId, [&](Transaction& tx, ChildRow& c) {
        tx.lock("children " + parent.familyId);
        checkSameName(tx, parent.familyId, name, c.id, sameNameOk);
        tx.query("UPDATE children SET name = $1 WHERE id = $2", {name, c.id});
        c.name = name;
    });
}

void Families::removeChild(const Parent& parent, const std::string& childId) {
    const auto now = clock_.now();
    db_.transact([&](Transaction& tx) {
        const auto c = loadChild(tx, childId, parent.familyId, true);
        tx.query(
            "DELETE FROM usage WHERE device_id IN (SELECT id FROM devices WHERE child_id = $1)",
            {c.id});
        for (const char* table :
             {"devices", "requests", "pairing_codes", "child_days", "rule_days"})
            tx.query(std::string("DELETE FROM ") + table + " WHERE child_id = $1", {c.id});
        tx.query("DELETE FROM children WHERE id = $1", {c.id});
        changed(tx, parent.familyId, "family", now);
        changed(tx, parent.familyId, "requests", now);
    });
}

void Families::renameDevice(const Parent& parent, const std::string& deviceId,
                            const std::string& name) {
    db_.transact([&](Transaction& tx) {
        if (tx.change("UPDATE devices SET name = $1 WHERE id = $2 AND removed = 0 AND child_id "
                      "IN (SELECT id FROM children WHERE family_id = $3)",
                      {name, deviceId, parent.familyId}) == 0)
            throw notFound();
        changed(tx, parent.familyId, "family", clock_.now());
    });
}

ChildView Families::delayBedtime(const Parent& parent, const std::string& childId,
                                 std::optional<int> untilMinute) {
    const auto now = clock_.now();
    return changeChild(parent, childId, [&](Transaction& tx, ChildRow& c) {
        c.bedtimeDelayedUntil.reset();
        if (untilMinute)
            c.bedtimeDelayedUntil =
                secs(Engine::lateBedtime(c.rules, Zone::local(now, c.timeZone), now, *untilMinute));
        tx.query("UPDATE children SET bedtime_delayed_until = $1 WHERE id = $2",
                 {orNull(c.bedtimeDelayedUntil), c.id});
    });
}

ChildView Families::setRules(const Parent& parent, const std::string& childId,
                             const ChildRules& rules) {
    const auto now = clock_.now();
    return changeChild(parent, childId, [&](Transaction& tx, ChildRow& c) {
        tx.query("UPDATE children SET rules = $1 WHERE id = $2",
                 {Json::encode(nlohmann::json(rules)), c.id});
        keepDayRules(tx, c.id, Zone::local(now, c.timeZone).day, rules);
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
        grantUndoably(tx, c, minutesGiven, std::nullopt, clock_.now(), std::nullopt);
    });
}

ChildView Families::undoGrant(const Parent& parent, const std::string& childId) {
    return changeChild(parent, childId, [&](Transaction& tx, ChildRow& c) {
        const auto kept = tx.one("SELECT before_grant FROM children WHERE id = $1", {c.id});
        const auto before = kept->optText(0) ? Json::parse(*kept->optText(0)) : nlohmann::json();
        // Each change moves the revision on by one: the grant's own is the one before this.
        if (!before.is_object() || before["revision"].get<std::int64_t>() != c.revision - 1)
            throw Refusal(409, "Đã có thay đổi khác sau lần cho thêm giờ này, không hoàn tác "
                               "được nữa.");
        const auto number = [&](const char* key) {
            return before[key].is_null() ? std::optional<std::int64_t>()
                                         : before[key].get<std::int64_t>();
        };
        c.grantEnd = number("grantEnd");
        c.parentGrantEnd = number("parentGrantEnd");
        c.grantApps = before["grantApps"].get<std::vector<std::string>>();
        c.lockedByParent = before["locked"].get<bool>();
        tx.query("UPDATE children SET grant_ends_at = $1, parent_grant_ends_at = $2, "
                 "grant_apps = $3, locked_by_parent = $4, before_grant = NULL WHERE id = $5",
                 {orNull(c.grantEnd), orNull(c.parentGrantEnd), Json::encode(c.grantApps),
                  std::int64_t{c.lockedByParent}, c.id});
        // A request the grant answered waits for an answer again.
        if (before.contains("request")) {
            tx.query("UPDATE requests SET status = 'cho', answered_at = NULL, "
                     "granted_minutes = NULL, grant_ends_at = NULL WHERE id = $1 AND "
                     "status = 'duoc'",
                     {before["request"].get<std::string>()});
            changed(tx, parent.familyId, "requests", clock_.now());
        }
    });
}

ChildView Families::addPoints(const Parent& parent, const std::string& childId,
                              std::int64_t delta) {
    return changeChild(parent, childId, [&](Transaction& tx, ChildRow& c) {
        if (c.points + delta < 0)
            throw BadInput(c.name + " chỉ có " + std::to_string(c.points) + " điểm.");
        c.points += delta;
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
        out.limitMinutes = c.rules.dailyMinutes[static_cast<std::size_t>(local.weekday)];
        if (out.limitMinutes)
            out.allowanceLeft = std::max<std::int64_t>(
                0, *out.limitMinutes -
                       std::max<std::int64_t>(0, state.usedToday - state.usedUnderGrant));
        if (out.policy.locked)
            out.lockUntil = Engine::lockEnd(c.rules, local, out.policy.lockReason);
        out.bedtimeDelayedUntil = ahead(c.bedtimeDelayedUntil, now);
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

WeekView Families::week(const Parent& parent, const std::string& childId) {
    const auto now = clock_.now();
    WeekView out;
    db_.transact([&](Transaction& tx) {
        out = {};
        const auto c = loadChild(tx, childId, parent.familyId, false);
        const auto local = Zone::local(now, c.timeZone);
        const auto first = Zone::addDays(local.day, -6);
        std::map<std::string, std::int64_t> used;
        for (const auto& r : tx.query("SELECT u.day, SUM(u.minutes) FROM usage u "
                                      "JOIN devices d ON d.id = u.device_id "
                                      "WHERE d.child_id = $1 AND u.day >= $2 AND u.day <= $3 "
                                      "GROUP BY u.day",
                                      {c.id, first, local.day}))
            used[r.text(0)] = r.integer(1);
        // The rules each day had: the last kept on or before it.
        std::map<std::string, ChildRules> kept;
        for (const auto& r : tx.query("SELECT day, rules FROM rule_days WHERE child_id = $1 AND "
                                      "day <= $2 AND day >= COALESCE((SELECT MAX(day) FROM "
                                      "rule_days WHERE child_id = $1 AND day <= $3), '')",
                                      {c.id, local.day, first}))
            kept[r.text(0)] = Json::parse(r.text(1)).get<ChildRules>();
        for (int i = -6; i <= 0; ++i) {
            const auto day = Zone::addDays(local.day, i);
            const auto rules = kept.upper_bound(day);
            const auto weekday = static_cast<std::size_t>((local.weekday + 7 + i) % 7);
            out.days.push_back({day, used[day],
                                rules == kept.begin()
                                    ? std::nullopt
                                    : std::prev(rules)->second.dailyMinutes[weekday]});
        }
        for (const auto& r : tx.query("SELECT u.app_id, MAX(u.app_name), SUM(u.minutes) "
                                      "FROM usage u JOIN devices d ON d.id = u.device_id "
                                      "WHERE d.child_id = $1 AND u.day >= $2 AND u.day <= $3 "
                                      "GROUP BY u.app_id ORDER BY 3 DESC, 2 LIMIT 3",
                                      {c.id, first, local.day}))
            out.apps.push_back({r.text(0), r.text(1), r.integer(2)});
    });
    return out;
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

RequestView Families::answerIn(Transaction& tx, const std::string& familyId,
                               const std::string& requestId, bool granted,
                               std::optional<std::int64_t> minutesGiven, bool liftLock) {
    const auto now = clock_.now();
    const auto r = tx.one("SELECT r.child_id, r.minutes, r.app_id FROM requests r "
                          "JOIN children c ON c.id = r.child_id "
                          "WHERE r.id = $1 AND c.family_id = $2",
                          {requestId, familyId});
    if (!r) throw notFound();
    auto c = loadChild(tx, r->text(0), familyId, true);
    if (granted) checkLiftsLock(c, liftLock);
    const std::string status(granted ? Contract::Status::granted : Contract::Status::refused);
    if (tx.change("UPDATE requests SET status = $1, answered_at = $2, answer_token_hash = NULL "
                  "WHERE id = $3 AND status = 'cho'",
                  {status, secs(now), requestId}) == 0)
        throw Refusal(409, "Yêu cầu này đã được trả lời rồi.");
    if (granted) {
        const auto given = minutesGiven.value_or(r->integer(1));
        const auto end = grantUndoably(tx, c, given, r->optText(2), now, requestId);
        tx.query("UPDATE requests SET granted_minutes = $1, grant_ends_at = $2 WHERE id = $3",
                 {given, end, requestId});
        changed(tx, familyId, "family", now);
    }
    changed(tx, familyId, "requests", now);
    return requestFrom(*tx.one("SELECT " + requestColumns + requestsOfFamily + "r.id = $2",
                               {familyId, requestId}));
}

RequestView Families::answer(const Parent& parent, const std::string& requestId, bool granted,
                             std::optional<std::int64_t> minutesGiven, bool liftLock) {
    RequestView out;
    db_.transact([&](Transaction& tx) {
        out = answerIn(tx, parent.familyId, requestId, granted, minutesGiven, liftLock);
    });
    return out;
}

RequestView Families::answerWithToken(const std::string& requestId, const std::string& token,
                                      bool granted, std::optional<std::int64_t> minutesGiven) {
    RequestView out;
    db_.transact([&](Transaction& tx) {
        const auto r = tx.one("SELECT c.family_id, r.answer_token_hash, r.status FROM requests r "
                              "JOIN children c ON c.id = r.child_id WHERE r.id = $1",
                              {requestId});
        if (!r) throw notFound();
        if (r->text(2) != Contract::Status::waiting)
            throw Refusal(409, "Yêu cầu này đã được trả lời rồi.");
        if (!r->optText(1) || !Security::sameSecret(*r->optText(1), Security::tokenHash(token)))
            throw Refusal(403, "Thông báo này đã cũ. Hãy trả lời trong TovuControl.");
        out = answerIn(tx, r->text(0), requestId, granted, minutesGiven, false);
    });
    return out;
}

std::optional<RequestNotice> Families::requestToTell(const std::string& requestId) {
    std::optional<RequestNotice> out;
    const auto token = Security::newToken();
    db_.transact([&](Transaction& tx) {
        out.reset();
        const auto family = tx.one("SELECT c.family_id FROM requests r JOIN children c "
                                   "ON c.id = r.child_id WHERE r.id = $1 AND r.status = 'cho'",
                                   {requestId});
        if (!family) return;
        tx.query("UPDATE requests SET answer_token_hash = $1 WHERE id = $2",
                 {Security::tokenHash(token), requestId});
        out = RequestNotice{
            family->text(0),
            requestFrom(*tx.one("SELECT " + requestColumns + requestsOfFamily + "r.id = $2",
                                {family->text(0), requestId})),
            token};
    });
    return out;
}

} // namespace tovu::server
