#pragma once

#include "TovuProtocol/Models.hpp"

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <vector>

namespace tovu {

// What the daemon keeps in state.json: the last fetched policy, when it came, the day's total
// at that moment, and the usage of the three most recent days.
struct DaemonState {
    std::optional<Policy> policy;
    std::optional<Time> fetchedAt;
    std::int64_t usedAtFetch = 0;
    std::vector<UsageEntry> usage;

    bool operator==(const DaemonState&) const = default;
};

void to_json(nlohmann::json& j, const DaemonState& v);
void from_json(const nlohmann::json& j, DaemonState& v);

} // namespace tovu
