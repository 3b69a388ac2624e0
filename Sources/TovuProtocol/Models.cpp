#include "TovuProtocol/Models.hpp"

#include "TovuProtocol/Iso.hpp"
#include "TovuProtocol/Json.hpp"

namespace tovu {

using nlohmann::json;
using namespace Json::field;

std::optional<Time> Policy::grantEnd() const {
    return grantEndsAt ? Iso::parse(*grantEndsAt) : std::nullopt;
}

std::string Policy::lockTitle() const {
    const std::string reason = lockReason.value_or("");
    if (reason == "ngu") return "Đến giờ ngủ rồi";
    if (reason == "ngoai_gio") return "Ngoài giờ dùng máy";
    if (reason == "het_gio") return "Hết giờ hôm nay";
    return "Bố mẹ đang khoá máy";
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
}

void from_json(const json& j, RequestResult& v) {
    v = RequestResult{
        .id = text(j, "id"),
        .status = text(j, "status"),
        .grantEndsAt = optText(j, "grantEndsAt"),
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
