#pragma once

#include "TovuProtocol/Clock.hpp"

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tovu {

// The parents' rules for the child's account, as the server sends them.
struct Policy {
    std::string serverTime;
    std::string childName;
    std::string mode;
    bool locked = false;
    std::optional<std::string> lockReason;
    std::vector<std::string> allowedApps;
    std::vector<std::string> learningApps;
    std::optional<std::int64_t> minutesLeft;
    std::optional<std::string> grantEndsAt;
    std::int64_t nextCheckSec = 0;
    bool canExchangePoints = false;

    // End of the running grant; absent when there is none or its text does not parse.
    std::optional<Time> grantEnd() const;
    // Headline of the lock screen for lockReason.
    std::string lockTitle() const;

    bool operator==(const Policy&) const = default;
};

// Whole minutes of use of one app on one day ("yyyy-MM-dd", local time).
struct UsageEntry {
    std::string day;
    std::string appId;
    std::string appName;
    std::int64_t minutes = 0;

    bool operator==(const UsageEntry&) const = default;
};

struct PairResult {
    std::string deviceId;
    std::string token;
    std::string childName;
    std::optional<std::string> server;

    bool operator==(const PairResult&) const = default;
};

struct RequestResult {
    std::string id;
    std::string status;
    std::optional<std::string> grantEndsAt;
    // Why a request was refused at once, for the child ("Bố mẹ đang khoá máy").
    std::optional<std::string> message{};

    bool operator==(const RequestResult&) const = default;
};

struct RequestState {
    std::string status;
    std::optional<std::int64_t> grantedMinutes;
    std::optional<std::string> grantEndsAt;

    bool operator==(const RequestState&) const = default;
};

// The pairing configuration kept in config.json.
struct AgentConfig {
    std::string server;
    std::string token;
    std::string deviceId;
    std::string childName;
    std::string childUser;

    bool operator==(const AgentConfig&) const = default;
};

// A usage entry of a sync that the server did not keep: its place in the list sent, and why.
struct DroppedEntry {
    std::int64_t index = 0;
    std::string reason;

    bool operator==(const DroppedEntry&) const = default;
};

// The server's answer to a sync: the policy, the revision of the child's rules it reflects
// (to send back with the next wait), and the entries left out. One JSON object: the policy's
// keys with "revision" and "dropped" beside them.
struct SyncAnswer {
    Policy policy;
    std::optional<std::int64_t> revision;
    std::vector<DroppedEntry> dropped;

    bool operator==(const SyncAnswer&) const = default;
};

// The answer to a wait: whether the child's rules have moved past the revision the computer
// has, and the revision now.
struct WakeUp {
    bool changed = false;
    std::int64_t revision = 0;

    bool operator==(const WakeUp&) const = default;
};

// JSON forms (found by nlohmann::json through argument-dependent lookup). Decoding throws
// DecodeError (Json.hpp) when a required key is missing, null or of the wrong type.
void to_json(nlohmann::json& j, const Policy& v);
void from_json(const nlohmann::json& j, Policy& v);
void to_json(nlohmann::json& j, const UsageEntry& v);
void from_json(const nlohmann::json& j, UsageEntry& v);
void to_json(nlohmann::json& j, const PairResult& v);
void from_json(const nlohmann::json& j, PairResult& v);
void to_json(nlohmann::json& j, const RequestResult& v);
void from_json(const nlohmann::json& j, RequestResult& v);
void to_json(nlohmann::json& j, const RequestState& v);
void from_json(const nlohmann::json& j, RequestState& v);
void to_json(nlohmann::json& j, const DroppedEntry& v);
void from_json(const nlohmann::json& j, DroppedEntry& v);
void to_json(nlohmann::json& j, const SyncAnswer& v);
void from_json(const nlohmann::json& j, SyncAnswer& v);
void to_json(nlohmann::json& j, const WakeUp& v);
void from_json(const nlohmann::json& j, WakeUp& v);
void to_json(nlohmann::json& j, const AgentConfig& v);
void from_json(const nlohmann::json& j, AgentConfig& v);

} // namespace tovu
