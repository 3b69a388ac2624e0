#pragma once

#include "TovuCore/platform/Platform.hpp"
#include "support/FakeLogind.hpp"

#include <atomic>
#include <map>
#include <string>
#include <systemd/sd-bus.h>
#include <thread>

namespace tovu::test {

// AccountsService on the given bus (the system bus of this process while it lives), on a thread
// of its own, knowing the given accounts:
// FindUserByName, and each account's Session, XSession and SessionType, read as properties and
// changed with SetSession, SetXSession and SetSessionType, as the real service has them.
class FakeAccounts {
public:
    FakeAccounts(const SystemBus& bus, std::map<std::string, platform::SessionChoice> users);
    ~FakeAccounts();

private:
    static int answer(sd_bus_message* m, void* self, sd_bus_error*);

    sd_bus* bus_ = nullptr;
    std::atomic<bool> stop_ = false;
    std::map<std::string, platform::SessionChoice> users_; // the bus thread's once it runs
    std::thread thread_;
};

} // namespace tovu::test
