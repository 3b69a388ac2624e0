#pragma once

#include "Database.hpp"
#include "TovuProtocol/Clock.hpp"
#include "TovuProtocol/Models.hpp"

#include <cstdint>
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

// What the parents should hear of a computer: protection lost, or offline for an hour while
// the child may use it.
struct DeviceNotice {
    std::string familyId;
    std::string childId;
    std::string childName;
    std::string deviceId;
    std::string deviceName;
    bool offline = false;
    std::optional<std::string> reason; // why it is not protected
    std::string lastSeen;              // "HH:MM" on the family's clock
};

// The family computers: pairing, syncs, waits and the child's requests.
class Devices {
public:
    Devices(Database& db, const Clock& clock);

    // Throws Refusal: 404 unknown or used code, 410 expired, 429 too many attempts.
    PairResult pair(const Pairing& p, const std::string& address);
    // Absent: the token belongs to no device (or to a removed one).
    std::optional<DeviceRef> device(const std::string& token);
    // Absent as for device. The answer's dropped list is the caller's to fill.
    std::optional<SyncAnswer> sync(const std::string& token, const SyncReport& report);
    // The child a wait is for and the revision of its rules now; records applied as the
    // revision the computer has. Absent as for device.
    std::optional<WaitStart> waitFrom(const std::string& token, std::int64_t applied);
    RequestResult request(const DeviceRef& device, const NewRequest& r);
    std::optional<RequestState> requestState(const DeviceRef& device, const std::string& id);
    // What the parents have yet to hear of their computers, each told once (by one server
    // process of many) until a sync shows it holds no more.
    std::vector<DeviceNotice> noticesDue();

private:
    Database& db_;
    const Clock& clock_;
};

} // namespace tovu::server
