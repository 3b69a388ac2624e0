#include "support/FakeAccounts.hpp"

#include <stdexcept>

namespace tovu::test {

namespace {

constexpr std::string_view userPrefix = "/org/freedesktop/Accounts/User_";

// The member behind a property, or behind the method that sets it.
std::string& field(platform::SessionChoice& c, std::string_view name) {
    if (name.starts_with("Set")) name.remove_prefix(3);
    return name == "Session" ? c.session : name == "XSession" ? c.xSession : c.sessionType;
}

} // namespace

FakeAccounts::FakeAccounts(const SystemBus& /* the bus of DBUS_SYSTEM_BUS_ADDRESS */,
                           std::map<std::string, platform::SessionChoice> users)
    : users_(std::move(users)) {
    if (sd_bus_open_system(&bus_) < 0 || sd_bus_add_filter(bus_, nullptr, answer, this) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.Accounts", 0) < 0)
        throw std::runtime_error("stand-in AccountsService did not start");
    // The bus cannot be woken from another thread: the loop looks at stop_ every 0.1 s.
    thread_ = std::thread([this] {
        while (!stop_)
            if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 100'000);
    });
}

FakeAccounts::~FakeAccounts() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
}

// Answers every call: FindUserByName, and Properties.Get and the setters on a user's object.
int FakeAccounts::answer(sd_bus_message* m, void* self, sd_bus_error*) {
    if (!sd_bus_message_is_method_call(m, nullptr, nullptr)) return 0;
    auto& users = static_cast<FakeAccounts*>(self)->users_;
    const std::string_view member = sd_bus_message_get_member(m);
    const char* text = nullptr;
    const char* property = nullptr;
    const int r = member == "Get" ? sd_bus_message_read(m, "ss", &text, &property)
                                  : sd_bus_message_read(m, "s", &text);
    if (r < 0) return r;
    const bool find = member == "FindUserByName";
    const auto user =
        users.find(find ? std::string(text)
                        : std::string(sd_bus_message_get_path(m)).erase(0, userPrefix.size()));
    if (user == users.end())
        return sd_bus_reply_method_errorf(m, "org.freedesktop.Accounts.Error.Failed",
                                          "Failed to look up user");
    if (find) return sd_bus_reply_method_return(m, "o", (std::string(userPrefix) + text).c_str());
    if (member == "Get")
        return sd_bus_reply_method_return(m, "v", "s", field(user->second, property).c_str());
    field(user->second, member) = text;
    return sd_bus_reply_method_return(m, "");
}

} // namespace tovu::test
