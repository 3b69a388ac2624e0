#pragma once

#include "Database.hpp"
#include "Engine.hpp"
#include "Errors.hpp"
#include "Hub.hpp"
#include "TovuProtocol/Clock.hpp"
#include "TovuProtocol/Models.hpp"

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tovu::server {

// The device a bearer token belongs to.
struct DeviceRef {
    std::string id;
    std::string childId;
    std::string familyId;
};

struct Pairing {
    std::string code;
    std::string platform;
    std::string deviceName;
    std::string osVersion;
    std::string agentVersion;
};

struct SyncReport {
    nlohmann::json status; // the known keys only, typed
    std::vector<UsageEntry> usage;
    std::optional<std::int64_t> revision; // of the policy the computer applied last
    std::optional<std::string> agentVersion;
    std::optional<std::string> osVersion;
};

struct WaitStart {
    std::string childId;
    std::int64_t revision = 0;
};

struct NewRequest {
    std::string kind;
    std::int64_t minutes = 0;
    std::optional<std::string> appId;
    std::optional<std::string> appName;
    std::optional<std::string> note;
};

// A logged-in parent.
struct Parent {
    std::string id;
    std::string name;
    std::string familyId;
};

// Everything the server keeps, on top of a Database. Each operation is one transaction, so
// several server processes can share one PostgreSQL.
struct ChildRow;

class Store {
public:
    static constexpr int attemptLimit = 10;
    static constexpr std::chrono::minutes attemptWindow{10};

    // Brings the schema up to date.
    Store(Database& db, const Clock& clock);

    // --- Devices ---
    // Throws Refusal: 404 unknown or used code, 410 expired, 429 too many attempts.
    PairResult pair(const Pairing& p, const std::string& address);
    std::optional<DeviceRef> device(const std::string& token);
    // Absent: the token belongs to no device (or to a removed one).
    std::optional<SyncAnswer> sync(const std::string& token, const SyncReport& report);
    // The child a wait is for and the revision of its rules now; records applied as the
    // revision the computer has. Absent as for sync.
    std::optional<WaitStart> waitFrom(const std::string& token, std::int64_t applied);
    RequestResult request(const DeviceRef& device, const NewRequest& r);
    std::optional<RequestState> requestState(const DeviceRef& device, const std::string& id);

    // --- Setup and sessions ---
    bool setupNeeded();
    // The setup token kept until the first parent exists; `wanted` replaces it when given.
    std::string setupToken(const std::optional<std::string>& wanted);
    // The setup token of a fresh server opens its first family, a family token each later one.
    // Throws Refusal 403 for a token that opens nothing, 409 for a parent's name already taken.
    Parent setup(const std::string& token, const std::string& familyName,
                 const std::string& parentName, const std::string& password,
                 const std::string& timeZone);
    // A one-time token that lets a provider's next family set itself up in the console.
    static constexpr std::chrono::hours familyTokenLifetime{24};
    std::string familyToken();
    // Throws Refusal 401 for a wrong name or password, 429 after too many failures.
    Parent login(const std::string& name, const std::string& password, const std::string& address);
    // A new session for the parent; returns its cookie token.
    std::string openSession(const Parent& parent);
    std::optional<Parent> session(const std::string& token);
    void closeSession(const std::string& token);

    // --- Console (every id is checked against the parent's family: Refusal 404) ---
    nlohmann::json family(const Parent& parent);     // {"id","name","timeZone"}
    nlohmann::json familyView(const Parent& parent); // GET family
    nlohmann::json addParent(const Parent& parent, const std::string& name,
                             const std::string& password);
    nlohmann::json addChild(const Parent& parent, const std::string& name);
    nlohmann::json setRules(const Parent& parent, const std::string& childId,
                            const ChildRules& rules);
    nlohmann::json setLock(const Parent& parent, const std::string& childId, bool locked);
    // A grant while the parents' lock is on lifts it, so it needs liftLock (Refusal 409).
    nlohmann::json grant(const Parent& parent, const std::string& childId, std::int64_t minutes,
                         bool liftLock);
    nlohmann::json addPoints(const Parent& parent, const std::string& childId, std::int64_t delta);
    nlohmann::json today(const Parent& parent, const std::string& childId);
    nlohmann::json week(const Parent& parent, const std::string& childId);
    nlohmann::json apps(const Parent& parent, const std::string& childId);
    nlohmann::json pairingCode(const Parent& parent, const std::string& childId);
    void removeDevice(const Parent& parent, const std::string& deviceId);
    nlohmann::json requests(const Parent& parent);
    nlohmann::json answer(const Parent& parent, const std::string& requestId, bool granted,
                          std::optional<std::int64_t> minutes, bool liftLock);

    // --- Live updates ---
    std::int64_t lastEvent(const std::string& familyId);
    std::vector<Event> eventsAfter(const std::string& familyId, std::int64_t after);

private:
    // Changes one child of the parent's family in one transaction; answers the Child.
    nlohmann::json changeChild(const Parent& parent, const std::string& childId,
                               const std::function<void(Transaction&, ChildRow&)>& change);

    Database& db_;
    const Clock& clock_;
};

} // namespace tovu::server
