// The display manager's record of each account's session, through AccountsService on the
// system bus.
#include "TovuCore/platform/Platform.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <systemd/sd-bus.h>

namespace tovu::platform {

namespace {

constexpr const char* service = "org.freedesktop.Accounts";
constexpr const char* userInterface = "org.freedesktop.Accounts.User";

// One call's error, freed with it.
struct CallError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~CallError() { sd_bus_error_free(&error); }

    // Throws with the service's own text when r reports a failure.
    void check(int r) const {
        if (r >= 0) return;
        throw ServiceError(sd_bus_error_is_set(&error) ? error.message : std::strerror(-r));
    }
};

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

// The AccountsService object of one account.
class UserObject {
public:
    explicit UserObject(const std::string& user) {
        CallError e;
        sd_bus* bus = nullptr;
        e.check(sd_bus_open_system(&bus));
        bus_.reset(bus);
        sd_bus_message* reply = nullptr;
        e.check(sd_bus_call_method(bus, service, "/org/freedesktop/Accounts",
                                   "org.freedesktop.Accounts", "FindUserByName", &e.error, &reply,
                                   "s", user.c_str()));
        const char* path = nullptr;
        const int r = sd_bus_message_read(reply, "o", &path);
        if (r >= 0) path_ = path;
        sd_bus_message_unref(reply);
        e.check(r);
    }

    std::string get(const char* property) const {
        CallError e;
        char* value = nullptr;
        e.check(sd_bus_get_property_string(bus_.get(), service, path_.c_str(), userInterface,
                                           property, &e.error, &value));
        std::string out = value;
        std::free(value);
        return out;
    }

    void set(const char* method, const std::string& value) const {
        CallError e;
        e.check(sd_bus_call_method(bus_.get(), service, path_.c_str(), userInterface, method,
                                   &e.error, nullptr, "s", value.c_str()));
    }

private:
    std::unique_ptr<sd_bus, BusCloser> bus_; // closed also when the constructor throws
    std::string path_;
};

} // namespace

SessionChoice sessionChoice(const std::string& user) {
    const UserObject account(user);
    return {account.get("Session"), account.get("XSession"), account.get("SessionType")};
}

void setSessionChoice(const std::string& user, const SessionChoice& choice) {
    const UserObject account(user);
    account.set("SetSessionType", choice.sessionType);
    account.set("SetSession", choice.session);
    account.set("SetXSession", choice.xSession);
}

} // namespace tovu::platform
