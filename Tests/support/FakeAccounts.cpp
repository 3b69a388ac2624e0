#include "support/FakeAccounts.hpp"

#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace tovu::test {

namespace {
constexpr std::string_view userPrefix = "/org/freedesktop/Accounts/User_";
} // namespace

// Only the bus thread touches the accounts once it runs.
struct FakeAccounts::Impl {
    sd_bus* bus = nullptr;
    int stop = eventfd(0, EFD_CLOEXEC);
    std::thread thread;
    std::map<std::string, platform::SessionChoice> users;

    // The member behind a property, or behind the method that sets it, of the account at path.
    static std::string& field(void* self, std::string_view path, std::string_view name) {
        auto& c = static_cast<Impl*>(self)->users.at(std::string(path.substr(userPrefix.size())));
        if (name.starts_with("Set")) name.remove_prefix(3);
        return name == "Session" ? c.session : name == "XSession" ? c.xSession : c.sessionType;
    }

    static int findByName(sd_bus_message* m, void* self, sd_bus_error* error) {
        const char* name = nullptr;
        if (const int r = sd_bus_message_read(m, "s", &name); r < 0) return r;
        if (!static_cast<Impl*>(self)->users.contains(name))
            return sd_bus_error_set(error, "org.freedesktop.Accounts.Error.Failed",
                                    "Failed to look up user");
        return sd_bus_reply_method_return(m, "o", (std::string(userPrefix) + name).c_str());
    }

    static int get(sd_bus*, const char* path, const char*, const char* property,
                   sd_bus_message* reply, void* self, sd_bus_error*) {
        return sd_bus_message_append(reply, "s", field(self, path, property).c_str());
    }

    static int set(sd_bus_message* m, void* self, sd_bus_error*) {
        const char* value = nullptr;
        if (const int r = sd_bus_message_read(m, "s", &value); r < 0) return r;
        field(self, sd_bus_message_get_path(m), sd_bus_message_get_member(m)) = value;
        return sd_bus_reply_method_return(m, "");
    }

    void run() {
        for (;;) {
            while (sd_bus_process(bus, nullptr) > 0) {
            }
            pollfd fds[2] = {{stop, POLLIN, 0},
                             {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}};
            if (::poll(fds, 2, -1) > 0 && fds[0].revents) return;
        }
    }
};

FakeAccounts::FakeAccounts(const SystemBus& bus,
                           std::map<std::string, platform::SessionChoice> users)
    : impl_(std::make_unique<Impl>()) {
    static const sd_bus_vtable manager[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_METHOD("FindUserByName", "s", "o", Impl::findByName, 0),
        SD_BUS_VTABLE_END};
    static const sd_bus_vtable user[] = {SD_BUS_VTABLE_START(0),
                                         SD_BUS_PROPERTY("Session", "s", Impl::get, 0, 0),
                                         SD_BUS_PROPERTY("XSession", "s", Impl::get, 0, 0),
                                         SD_BUS_PROPERTY("SessionType", "s", Impl::get, 0, 0),
                                         SD_BUS_METHOD("SetSession", "s", "", Impl::set, 0),
                                         SD_BUS_METHOD("SetXSession", "s", "", Impl::set, 0),
                                         SD_BUS_METHOD("SetSessionType", "s", "", Impl::set, 0),
                                         SD_BUS_VTABLE_END};
    Impl& i = *impl_;
    i.users = std::move(users);
    bool up = sd_bus_new(&i.bus) >= 0 && sd_bus_set_address(i.bus, bus.address().c_str()) >= 0 &&
              sd_bus_set_bus_client(i.bus, 1) >= 0 && sd_bus_start(i.bus) >= 0 &&
              sd_bus_add_object_vtable(i.bus, nullptr, "/org/freedesktop/Accounts",
                                       "org.freedesktop.Accounts", manager, &i) >= 0;
    for (const auto& [name, choice] : i.users)
        up =
            up && sd_bus_add_object_vtable(i.bus, nullptr, (std::string(userPrefix) + name).c_str(),
                                           "org.freedesktop.Accounts.User", user, &i) >= 0;
    if (!up || sd_bus_request_name(i.bus, "org.freedesktop.Accounts", 0) < 0)
        throw std::runtime_error("stand-in AccountsService did not start");
    i.thread = std::thread([&i] { i.run(); });
}

FakeAccounts::~FakeAccounts() {
    const std::uint64_t one = 1;
    if (::write(impl_->stop, &one, sizeof one) < 0) std::terminate();
    impl_->thread.join();
    sd_bus_flush_close_unref(impl_->bus);
    ::close(impl_->stop);
}

} // namespace tovu::test
