#include "Records.hpp"

#include "Topics.hpp"
#include "TovuProtocol/Json.hpp"

#include <algorithm>

namespace tovu::server {

using namespace std::chrono;

std::int64_t secs(Time t) {
    return duration_cast<seconds>(t.time_since_epoch()).count();
}

Time fromSecs(std::int64_t s) {
    return Time(seconds(s));
}

Value opt(const std::optional<std::string>& s) {
    return s ? Value(*s) : Value(nullptr);
}

Refusal notFound() {
    return Refusal(404, "Không tìm thấy mục này trong gia đình.");
}

const std::string childColumns =
    "c.id, c.family_id, c.name, c.rules, c.points, c.locked_by_parent, c.grant_ends_at, "
    "c.grant_apps, f.time_zone, c.parent_grant_ends_at, c.version, c.bedtime_delayed_until";

const std::string unprotectedPattern = R"(%"protected":false%)";

ChildRow childFrom(const Row& r, std::size_t at) {
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
    c.bedtimeDelayedUntil = r.optInteger(at + 11);
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

// Each sync asks it, and each round trip to PostgreSQL counts.
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
    if (c.bedtimeDelayedUntil) s.bedtimeDelayedUntil = fromSecs(*c.bedtimeDelayedUntil);
    return s;
}

ChildState stateOf(Transaction& tx, const ChildRow& c, const LocalTime& local) {
    const auto s = stateQuery(c, local);
    return stateFrom(c, *tx.one(s.sql, s.params));
}

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

} // namespace tovu::server
