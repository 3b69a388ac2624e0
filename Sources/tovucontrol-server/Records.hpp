#pragma once

#include "Database.hpp"
#include "Engine.hpp"
#include "Errors.hpp"
#include "TovuProtocol/Clock.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the rooms of the store (devices, accounts, families, events) share: times as columns,
// and the child as its row keeps it.
namespace tovu::server {

// A computer's status, as stored, that says it is not protected (SQL LIKE).
extern const std::string unprotectedPattern;

// Times are kept as whole seconds since 1970.
std::int64_t secs(Time t);
Time fromSecs(std::int64_t s);
Value opt(const std::optional<std::string>& s);

// What a parent asked about is not in their family.
Refusal notFound();

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
    std::optional<std::int64_t> bedtimeDelayedUntil;
};

// The columns childFrom reads, from children c joined with families f.
extern const std::string childColumns;
ChildRow childFrom(const Row& r, std::size_t at = 0);
// Reads a child of the family (Refusal 404 when it is not there). forUpdate first takes the
// child's row and moves its revision on, so that changes to one child from several processes
// run one after the other and its waiting computers hear of them.
ChildRow loadChild(Transaction& tx, const std::string& childId, const std::string& familyId,
                   bool forUpdate);

// One statement for what the policy needs besides the child's row, and its reading.
Statement stateQuery(const ChildRow& c, const LocalTime& local);
ChildState stateFrom(const ChildRow& c, const Row& r);
ChildState stateOf(Transaction& tx, const ChildRow& c, const LocalTime& local);

// Extends the running grant, or starts one now; returns its end. A parent's grant also ends
// their lock and lifts bedtime and the hours until it ends; time bought with points only adds
// to the day.
std::int64_t giveTime(Transaction& tx, ChildRow& c, std::int64_t minutesGiven,
                      const std::optional<std::string>& app, Time now, bool byParent);

} // namespace tovu::server
