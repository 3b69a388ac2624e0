#pragma once

#include "Accounts.hpp"
#include "Database.hpp"
#include "Engine.hpp"
#include "Records.hpp"
#include "TovuProtocol/Clock.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tovu::server {

struct FamilyInfo {
    std::string id;
    std::string name;
    std::string timeZone;
};

struct ChildView {
    std::string id;
    std::string name;
    std::int64_t points = 0;
    ChildRules rules;
    bool lockedByParent = false;
    std::optional<Time> grantEnd;            // of a grant still running
    std::optional<Time> bedtimeDelayedUntil; // tonight's later bedtime, still to come
};

struct DeviceView {
    std::string id;
    std::string childId;
    std::string name;
    std::string platform;
    std::string osVersion;
    std::string agentVersion;
    bool online = false;
    std::optional<Time> lastSeen;
    // What the computer said of its protection last.
    std::optional<bool> isProtected, helperAlive, childIsAdmin;
    std::optional<std::string> childUser, reason;
    // The last time the server refused some of what the computer sent, and what.
    std::optional<std::string> lastRefusal;
    // When the computer got the rules as they are now; or that it has yet to get the latest.
    std::optional<Time> rulesReceivedAt;
    bool rulesWaiting = false;
};

struct FamilyView {
    FamilyInfo family;
    std::vector<std::pair<std::string, std::string>> parents; // id, name
    std::vector<ChildView> children;
    std::vector<DeviceView> devices;
};

struct AppMinutes {
    std::string appId;
    std::string appName;
    std::int64_t minutes = 0;
};

struct TodayView {
    std::string day;
    std::int64_t usedMinutes = 0;
    Policy policy; // in force now
    // The day's own limit and what is left of it, also while something else locks.
    std::optional<std::int64_t> limitMinutes, allowanceLeft;
    std::optional<int> lockUntil; // when the rules alone lift the lock, minutes from midnight
    std::optional<Time> bedtimeDelayedUntil;
    std::vector<AppMinutes> apps; // most used first
};

struct DayMinutes {
    std::string day;
    std::int64_t minutes = 0;
    std::optional<std::int64_t> limitMinutes; // the limit that day had
};

struct WeekView {
    std::vector<DayMinutes> days; // oldest first
    std::vector<AppMinutes> apps; // the three most used
};

struct PairingCode {
    std::string code;
    Time expiresAt;
};

struct RequestView {
    std::string id;
    std::string childId;
    std::string childName;
    std::string kind;
    std::int64_t minutes = 0;
    std::optional<std::string> appId, appName, note;
    std::string status;
    std::optional<Time> createdAt, answeredAt, grantEnd;
};

// A waiting request to tell the family of, with the token that answers it from a notification.
struct RequestNotice {
    std::string familyId;
    RequestView request;
    std::string token;
};

// The families, as their parents see and change them in the console. Every id is checked
// against the parent's family (Refusal 404).
class Families {
public:
    Families(Database& db, const Clock& clock);

    FamilyInfo family(const Parent& parent);
    FamilyView view(const Parent& parent);
    // Another child of the family with the same name needs sameNameOk (Refusal 409).
    ChildView addChild(const Parent& parent, const std::string& name, bool sameNameOk);
    ChildView renameChild(const Parent& parent, const std::string& childId, const std::string& name,
                          bool sameNameOk);
    // The child with their computers (which stop getting rules), requests and usage.
    void removeChild(const Parent& parent, const std::string& childId);
    void renameDevice(const Parent& parent, const std::string& deviceId, const std::string& name);
    // Tonight's bedtime starts at untilMinute instead (absent: as the rules say again).
    ChildView delayBedtime(const Parent& parent, const std::string& childId,
                           std::optional<int> untilMinute);
    ChildView setRules(const Parent& parent, const std::string& childId, const ChildRules& rules);
    ChildView setLock(const Parent& parent, const std::string& childId, bool locked);
    // A grant while the parents' lock is on lifts it, so it needs liftLock (Refusal 409).
    ChildView grant(const Parent& parent, const std::string& childId, std::int64_t minutes,
                    bool liftLock);
    // Puts back what the child's last grant changed, unless something changed since (409); a
    // request the grant answered waits again.
    ChildView undoGrant(const Parent& parent, const std::string& childId);
    // Never takes more than the child has (BadInput).
    ChildView addPoints(const Parent& parent, const std::string& childId, std::int64_t delta);
    TodayView today(const Parent& parent, const std::string& childId);
    // The last seven days: minutes of use and the limit of each, and the apps used most.
    WeekView week(const Parent& parent, const std::string& childId);
    // Every app the child's computers have reported, by name (minutes left at 0).
    std::vector<AppMinutes> apps(const Parent& parent, const std::string& childId);
    PairingCode pairingCode(const Parent& parent, const std::string& childId);
    void removeDevice(const Parent& parent, const std::string& deviceId);
    // Waiting requests first, oldest first; then the latest answered ones.
    std::vector<RequestView> requests(const Parent& parent);
    std::optional<RequestView> request(const std::string& familyId, const std::string& requestId);
    RequestView answer(const Parent& parent, const std::string& requestId, bool granted,
                       std::optional<std::int64_t> minutes, bool liftLock);
    // The same from a notification, with the request's answer token instead of a session; a
    // grant that would lift the parents' lock is left to the console (409).
    RequestView answerWithToken(const std::string& requestId, const std::string& token,
                                bool granted, std::optional<std::int64_t> minutes);
    // A waiting request with a new answer token; absent when it is no longer waiting.
    std::optional<RequestNotice> requestToTell(const std::string& requestId);

private:
    RequestView answerIn(Transaction& tx, const std::string& familyId, const std::string& requestId,
                         bool granted, std::optional<std::int64_t> minutes, bool liftLock);
    // Changes one child of the parent's family in one transaction.
    ChildView changeChild(const Parent& parent, const std::string& childId,
                          const std::function<void(Transaction&, ChildRow&)>& change);

    Database& db_;
    const Clock& clock_;
};

} // namespace tovu::server
