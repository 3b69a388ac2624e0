#pragma once

#include "Database.hpp"
#include "TovuProtocol/Clock.hpp"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tovu::server {

// Something that happened in a family, for its consoles' live view.
struct Event {
    std::int64_t id = 0;
    std::string kind; // "request" (data: {"request": id}) or "changed" (data: {"what": ...})
    std::string data; // JSON text
};

// An event written in the transaction that makes it; the family's consoles hear of it once
// the transaction commits.
Statement event(Transaction& tx, const std::string& familyId, const std::string& kind,
                const nlohmann::json& data, Time now);
void emit(Transaction& tx, const std::string& familyId, const std::string& kind,
          const nlohmann::json& data, Time now);
// "changed": what (family, usage, requests) the consoles should read again.
Statement changedStatement(Transaction& tx, const std::string& familyId, const char* what,
                           Time now);
void changed(Transaction& tx, const std::string& familyId, const char* what, Time now);

// The events of the last day, for the consoles that follow them.
class Events {
public:
    Events(Database& db, const Clock& clock);
    // The family's latest event; forgets events older than a day.
    std::int64_t last(const std::string& familyId);
    // The family's events after the one given, oldest first, a hundred at most.
    std::vector<Event> after(const std::string& familyId, std::int64_t after);

private:
    Database& db_;
    const Clock& clock_;
};

} // namespace tovu::server
