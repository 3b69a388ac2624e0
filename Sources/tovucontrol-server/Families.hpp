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
    std::optional<Time> grantEnd; // of a grant still running
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
    Policy policy;                // in force now
    std::vector<AppMinutes> apps; // most used first
};

struct DayMinutes {
    std::string day;
    std::int64_t minutes = 0;
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

// The families, as their parents see and change them in the console. Every id is checked
// against the parent's family (Refusal 404).
class Families {
public:
    Families(Database& db, const Clock& clock);

    FamilyInfo family(const Parent& parent);
    FamilyView view(const Parent& parent);
    ChildView addChild(const Parent& parent, const std::string& name);
    ChildView setRules(const Parent& parent, const std::string& childId, const ChildRules& rules);
    ChildView setLock(const Parent& parent, const std::string& childId, bool locked);
    // A grant while the parents' lock is on lifts it, so it needs liftLock (Refusal 409).
    ChildView grant(const Parent& parent, const std::string& childId, std::int64_t minutes,
                    bool liftLock);
    ChildView addPoints(const Parent& parent, const std::string& childId, std::int64_t delta);
    TodayView today(const Parent& parent, const std::string& childId);
    // The last seven days, oldest first: minutes of use each.
    std::vector<DayMinutes> week(const Parent& parent, const std::string& childId);
    // Every app the child's computers have reported, by name (minutes left at 0).
    std::vector<AppMinutes> apps(const Parent& parent, const std::string& childId);
    PairingCode pairingCode(const Parent& parent, const std::string& childId);
    void removeDevice(const Parent& parent, const std::string& deviceId);
    // Waiting requests first, oldest first; then the latest answered ones.
    std::vector<RequestView> requests(const Parent& parent);
    std::optional<RequestView> request(const std::string& familyId, const std::string& requestId);
    RequestView answer(const Parent& parent, const std::string& requestId, bool granted,
                       std::optional<std::int64_t> minutes, bool liftLock);

private:
    // Changes one child of the parent's family in one transaction.
    ChildView changeChild(const Parent& parent, const std::string& childId,
                          const std::function<void(Transaction&, ChildRow&)>& change);

    Database& db_;
    const Clock& clock_;
};

} // namespace tovu::server
