#pragma once

#include <cstdint>
#include <string>

// What the server processes tell each other through the database: a child's rules moved to a
// new revision, a family has new events.
namespace tovu::server::Topics {

inline std::string child(const std::string& childId, std::int64_t revision) {
    return "c " + childId + " " + std::to_string(revision);
}

inline std::string family(const std::string& familyId) {
    return "f " + familyId;
}

} // namespace tovu::server::Topics
