#pragma once

#include "TovuCore/platform/Platform.hpp"
#include "support/FakeLogind.hpp"

#include <map>
#include <memory>
#include <string>

namespace tovu::test {

// AccountsService on the given bus, on a thread of its own, knowing the given accounts:
// FindUserByName, and each account's Session, XSession and SessionType, read as properties and
// changed with SetSession, SetXSession and SetSessionType, as the real service has them.
class FakeAccounts {
public:
    FakeAccounts(const SystemBus& bus, std::map<std::string, platform::SessionChoice> users);
    ~FakeAccounts();
    FakeAccounts(const FakeAccounts&) = delete;
    FakeAccounts& operator=(const FakeAccounts&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tovu::test
