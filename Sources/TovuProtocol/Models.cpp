#include "TovuProtocol/Models.hpp"

#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Iso.hpp"
#include "TovuProtocol/Json.hpp"

namespace tovu {

using nlohmann::json;
using namespace Json::field;

std::optional<Time> Policy::grantEnd() const {
    return grantEndsAt ? Iso::parse(*grantEndsAt) : std::nullopt;
}

std::string Policy::lockTitle() const {
    return Contract::lockTitle(lockReason.value_or(""));
}

void to_json(json& j, const Policy& v) {
    j = json{{"serverTime", v.serverTime},
             {"childName", v.childName},
             {"mode", v.mode},
             {"locked", v.locked},
             {"allowedApps", v.allowedApps},
             {"learningApps", v.learningApps},
             {"nextCheckSec", v.nextCheckSec},
             {"canExchangePoints", v.canExchangePoints}};
    put(j, "lockReason", v.lockReason);
    put(j, "minutesLeft", v.minutesLeft);
    put(j, "grantEndsAt", v.grantEndsAt);
}

void from_json(const json& j, Policy& v) {
    v = Policy{
        .serverTime = text(j, "serverTime"),
        .childName = text(j, "childName"),
        .mode = text(j, "mode"),
        .locked = flag(j, "locked"),
        .lockReason = optText(j, "lockReason"),
        .allowedApps = textList(j, "allowedApps"),
        .learningApps = textList(j, "learningApps"),
        .minutesLeft = optInteger(j, "minutesLeft"),
        .grantEndsAt = optText(j, "grantEndsAt"),
        .nextCheckSec = integer(j, "nextCheckSec"),
        .canExchangePoints = flag(j, "canExchangePoints"),
    };
}

void to_json(json& j, const UsageEntry& v) {
    j = json{{"day", v.day}, {"appId", v.appId}, {"appName", v.appName}, {"minutes", v.minutes}};
}

void from_json(const json& j, UsageEntry& v) {
    v = UsageEntry{
        .day = text(j, "day"),
        .appId = text(j, "appId"),
        .appName = text(j, "appName"),
        .minutes = integer(j, "minutes"),
    };
}

void to_json(json& j, const PairResult& v) {
    j = json{{"deviceId", v.deviceId}, {"token", v.token}, {"childName", v.childName}};
    put(j, "server", v.server);
}

void from_json(const json& j, PairResult& v) {
    v = PairResult{
        .deviceId = text(j, "deviceId"),
        .token = text(j, "token"),
        .childName = text(j, "childName"),
        .server = optText(j, "server"),
    };
}

void to_json(json& j, const RequestResult& v) {
    j = json{{"id", v.id}, {"status", v.status}};
    put(j, "grantEndsAt", v.grantEndsAt);
    put(j, "message", v.message);
}

void from_json(const json& j, RequestResult& v) {
    v = RequestResult{
        .id = text(j, "id"),
        .status = text(j, "status"),
        .grantEndsAt = optText(j, "grantEndsAt"),
        .message = optText(j, "message"),
    };
}

void to_json(json& j, const RequestState& v) {
    j = json{{"status", v.status}};
    put(j, "grantedMinutes", v.grantedMinutes);
    put(j, "grantEndsAt", v.grantEndsAt);
}

void from_json(const json& j, RequestState& v) {
    v = RequestState{
        .status = text(j, "status"),
        .grantedMinutes = optInteger(j, "grantedMinutes"),
        .grantEndsAt = optText(j, "grantEndsAt"),
    };
}

void to_json(json& j, const DroppedEntry& v) {
    j = json{{"index", v.index}, {"reason", v.reason}};
}

void from_json(const json& j, DroppedEntry& v) {
    v = DroppedEntry{.index = integer(j, "index"), .reason = text(j, "reason")};
}

void to_json(json& j, const SyncAnswer& v) {
    j = v.policy;
    put(j, "revision", v.revision);
    if (!v.dropped.empty()) j["dropped"] = v.dropped;
}

void from_json(const json& j, SyncAnswer& v) {
    v = SyncAnswer{
        .policy = as<Policy>(j, "value"),
        .revision = optInteger(j, "revision"),
        .dropped = optList<DroppedEntry>(j, "dropped").value_or(std::vector<DroppedEntry>{}),
    };
}

void to_json(json& j, const WakeUp& v) {
    j = json{{"changed", v.changed}, {"revision", v.revision}};
}

void from_json(const json& j, WakeUp& v) {
    v = WakeUp{.changed = flag(j, "changed"), .revision = integer(j, "revision")};
}

void to_json(json& j, const AgentConfig& v) {
    j = json{{"server", v.server},
             {"token", v.token},
             {"deviceId", v.deviceId},
             {"childName", v.childName},
             {"childUser", v.childUser}};
}

void from_json(const json& j, AgentConfig& v) {
    v = AgentConfig{
        .server = text(j, "server"),
        .token = text(j, "token"),
        .deviceId = text(j, "deviceId"),
        .childName = text(j, "childName"),
        .childUser = text(j, "childUser"),
    };
}

} // namespace tovu
