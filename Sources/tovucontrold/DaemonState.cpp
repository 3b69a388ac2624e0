#include "DaemonState.hpp"

#include "TovuProtocol/Json.hpp"

namespace tovu {

using nlohmann::json;

void to_json(json& j, const DaemonState& v) {
    j = json::object();
    Json::field::put(j, "policy", v.policy);
    if (v.fetchedAt) j["fetchedAt"] = Json::encodeDate(*v.fetchedAt);
    j["usedAtFetch"] = v.usedAtFetch;
    j["usage"] = v.usage;
}

void from_json(const json& j, DaemonState& v) {
    namespace f = Json::field;
    DaemonState s;
    s.policy = f::optRecord<Policy>(j, "policy");
    if (auto seconds = f::optNumber(j, "fetchedAt")) s.fetchedAt = Json::decodeDate(*seconds);
    s.usedAtFetch = f::integer(j, "usedAtFetch");
    s.usage = f::list<UsageEntry>(j, "usage");
    v = std::move(s);
}

} // namespace tovu
