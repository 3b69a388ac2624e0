#pragma once

#include "Database.hpp"
#include "Errors.hpp"
#include "TovuProtocol/Clock.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tovu::server {

// A logged-in parent.
struct Parent {
    std::string id;
    std::string name;
    std::string familyId;
};

// Guessing is limited: attemptLimit tries per bucket (an address, a name, a code) in
// attemptWindow. countAttempt counts a try before it is judged, unless a bucket is full
// already (false, nothing counted); the buckets are locked first, so that tries at the same
// moment, in any server process, are counted one after the other. forgive(ticket) uncounts a
// try that succeeded.
namespace Attempts {
inline constexpr int limit = 10;
inline constexpr std::chrono::minutes window{10};
bool count(Transaction& tx, std::vector<std::string> buckets, const std::string& ticket, Time now);
void forgive(Transaction& tx, const std::string& ticket);
Refusal tooMany();
} // namespace Attempts

// The parents' accounts: setting up a family, logging in, sessions.
class Accounts {
public:
    // A one-time token that lets a provider's next family set itself up in the console.
    static constexpr std::chrono::hours familyTokenLifetime{24};

    Accounts(Database& db, const Clock& clock);

    bool setupNeeded();
    // The setup token kept until the first parent exists; `wanted` replaces it when given.
    std::string setupToken(const std::optional<std::string>& wanted);
    // The setup token of a fresh server opens its first family, a family token each later one.
    // Throws Refusal 403 for a token that opens nothing, 409 for a parent's name already taken.
    Parent setup(const std::string& token, const std::string& familyName,
                 const std::string& parentName, const std::string& password,
                 const std::string& timeZone);
    std::string familyToken();
    // Throws Refusal 401 for a wrong name or password, 429 after too many tries.
    Parent login(const std::string& name, const std::string& password, const std::string& address);
    // Another parent of the same family; Refusal 409 for a name already taken.
    Parent addParent(const Parent& by, const std::string& name, const std::string& password);
    // Refusal 403 for a wrong current password, 429 after too many; the parent's other
    // sessions end, keepSession stays.
    void changePassword(const Parent& parent, const std::string& current,
                        const std::string& password, const std::string& keepSession);
    // Another parent of the family, never the one asking (409): so a family always keeps one.
    void removeParent(const Parent& by, const std::string& parentId);
    // A new session for the parent; returns its cookie token.
    std::string openSession(const Parent& parent);
    std::optional<Parent> session(const std::string& token);
    void closeSession(const std::string& token);

private:
    Database& db_;
    const Clock& clock_;
};

} // namespace tovu::server
