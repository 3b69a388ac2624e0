#include "support/FakeLogind.hpp"

#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace tovu::test {

SystemBus::SystemBus() {
    const std::string socket = dir_.file("system_bus");
    std::ofstream(dir_.file("bus.conf"))
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>system</type><listen>unix:path="
        << socket
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
           "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
           "<allow receive_sender=\"*\"/></policy></busconfig>\n";
    daemon_.emplace(std::vector<std::string>{"dbus-daemon", "--nofork",
                                             "--config-file=" + dir_.file("bus.conf")},
                    "");
    address_ = "unix:path=" + socket;
    // Up once it answers a client.
    const std::vector<std::string> ping{"dbus-send",
                                        "--bus=" + address_,
                                        "--print-reply",
                                        "--dest=org.freedesktop.DBus",
                                        "/",
                                        "org.freedesktop.DBus.Peer.Ping"};
    if (!waitUntil([&] { return run(ping, "").has_value(); }))
        throw std::runtime_error("dbus-daemon did not start");
    // Reachable by the child's processes too.
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
    env_.emplace("DBUS_SYSTEM_BUS_ADDRESS", address_);
}

namespace {

constexpr const char* sessionPrefix = "/org/freedesktop/login1/session/";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
constexpr const char* managerPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";

std::optional<std::string> sessionIdOf(std::uint32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ");
    std::string var;
    while (std::getline(in, var, '\0'))
        if (var.starts_with("XDG_SESSION_ID=")) return var.substr(15);
    return std::nullopt;
}

} // namespace

struct FakeLogind::Impl {
    sd_bus* bus = nullptr;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Guards the bus and everything below: the bus thread holds it while it dispatches, so the
    // handlers run under it; the test holds it while it changes sessions and signals the change.
    mutable std::mutex mutex;
    bool stop = false;
    std::map<std::string, LoginSession> sessions;
    std::map<std::string, bool> idleHint;
    std::vector<std::string> calls;
    // The console in front of seat0.
    std::uint32_t foreground = 0;
    // Sessions opened by a program, by a handle on that process.
    std::map<std::string, int> openedBy;
    int opened = 0;
    std::thread thread;

    void run() {
        for (;;) {
            std::vector<pollfd> fds{{wake, POLLIN, 0}, {-1, 0, 0}};
            {
                std::lock_guard g(mutex);
                if (stop) return;
                while (sd_bus_process(bus, nullptr) > 0) {
                }
                fds[1] = {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0};
                for (const auto& [id, fd] : openedBy)
                    fds.push_back({fd, POLLIN, 0});
            }
            ::poll(fds.data(), fds.size(), -1);
            std::lock_guard g(mutex);
            for (std::size_t i = 2; i < fds.size(); ++i)
                if (fds[i].revents & POLLIN) {
                    // Its program ended: the session goes, and the seat has nothing in front.
                    for (auto it = openedBy.begin(); it != openedBy.end(); ++it)
                        if (it->second == fds[i].fd) {
                            ::close(it->second);
                            const std::string id = it->first;
                            openedBy.erase(it);
                            sessions.erase(id);
                            sendSession("SessionRemoved", id);
                            break;
                        }
                }
        }
    }

    // The caller holds mutex.
    void makeActive(const std::string& id) {
        LoginSession& chosen = sessions.at(id);
        for (auto& [other, s] : sessions)
            if (s.seat == chosen.seat && s.active && other != id) {
                s.active = false;
                s.state = "online";
                announce(other, {"Active", "State"});
            }
        if (chosen.seat == "seat0") foreground = chosen.vt;
        if (!chosen.active) {
            chosen.active = true;
            chosen.state = "active";
            announce(id, {"Active", "State"});
        }
    }

    // The caller holds mutex.
    void sendSession(const char* signal, const std::string& id) {
        const std::string path = sessionPrefix + id;
        sd_bus_emit_signal(bus, managerPath, managerInterface, signal, "so", id.c_str(),
                           path.c_str());
        sd_bus_flush(bus);
    }
    void announce(const std::string& id, std::vector<const char*> names) {
        names.push_back(nullptr);
        sd_bus_emit_properties_changed_strv(bus, (sessionPrefix + id).c_str(), sessionInterface,
                                            const_cast<char**>(names.data()));
        sd_bus_flush(bus);
    }
    // The session at path; "auto" stands for the caller's.
    const LoginSession* at(std::string_view path) const {
        if (!path.starts_with(sessionPrefix)) return nullptr;
        path.remove_prefix(strlen(sessionPrefix));
        const auto it = path == "auto" ? sessions.begin() : sessions.find(std::string(path));
        return it == sessions.end() ? nullptr : &it->second;
    }

    static Impl* of(void* userdata) { return static_cast<Impl*>(userdata); }

    static int listSessions(sd_bus_message* m, void* userdata, sd_bus_error*) {
        Impl* self = of(userdata);
        sd_bus_message* reply = nullptr;
        sd_bus_message_new_method_return(m, &reply);
        sd_bus_message_open_container(reply, 'a', "(susso)");
        for (const auto& [id, s] : self->sessions)
            sd_bus_message_append(reply, "(susso)", id.c_str(), s.uid, "child", s.seat.c_str(),
                                  (sessionPrefix + id).c_str());
        sd_bus_message_close_container(reply);
        const int r = sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        return r;
    }

    static int reply(sd_bus_message* m, void* userdata, const std::optional<std::string>& id,
                     sd_bus_error* error) {
        if (!id || !of(userdata)->sessions.contains(*id))
            return sd_bus_error_set(error, "org.freedesktop.login1.NoSuchSession", "none");
        return sd_bus_reply_method_return(m, "o", (sessionPrefix + *id).c_str());
    }

    static int byPid(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        std::uint32_t pid = 0;
        sd_bus_message_read(m, "u", &pid);
        return reply(m, userdata, sessionIdOf(pid), error);
    }

    static int byId(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        const char* id = nullptr;
        sd_bus_message_read(m, "s", &id);
        return reply(m, userdata, id, error);
    }

    static int terminate(sd_bus_message* m, void* userdata, sd_bus_error*) {
        const char* id = nullptr;
        sd_bus_message_read(m, "s", &id);
        Impl* self = of(userdata);
        self->calls.push_back(std::string("TerminateSession ") + id);
        self->sessions.erase(id);
        self->sendSession("SessionRemoved", id);
        return sd_bus_reply_method_return(m, "");
    }

    static int activateSession(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        const char* id = nullptr;
        sd_bus_message_read(m, "s", &id);
        Impl* self = of(userdata);
        self->calls.push_back(std::string("ActivateSession ") + id);
        if (!self->sessions.contains(id))
            return sd_bus_error_set(error, "org.freedesktop.login1.NoSuchSession", "none");
        self->makeActive(id);
        return sd_bus_reply_method_return(m, "");
    }

    static int open(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        std::uint32_t pid = 0, uid = 0, vt = 0;
        const char* klass = nullptr;
        sd_bus_message_read(m, "uusu", &pid, &uid, &klass, &vt);
        Impl* self = of(userdata);
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0) return sd_bus_error_set(error, "org.freedesktop.login1.NoSuchProcess", "none");
        LoginSession s = loginSession("l" + std::to_string(++self->opened), "wayland", uid, false);
        s.klass = klass;
        s.vt = vt;
        self->sessions[s.id] = s;
        self->openedBy[s.id] = fd;
        self->sendSession("SessionNew", s.id);
        if (vt == self->foreground) self->makeActive(s.id);
        return sd_bus_reply_method_return(m, "s", s.id.c_str());
    }

    static int lock(sd_bus_message* m, void* userdata, sd_bus_error*) {
        of(userdata)->calls.push_back(
            "Lock " + std::string(sd_bus_message_get_path(m) + strlen(sessionPrefix)));
        return sd_bus_reply_method_return(m, "");
    }

    static int find(sd_bus*, const char* path, const char*, void* userdata, void** found,
                    sd_bus_error*) {
        if (!of(userdata)->at(path)) return 0;
        *found = userdata;
        return 1;
    }

    static int property(sd_bus*, const char* path, const char*, const char* name,
                        sd_bus_message* reply, void* userdata, sd_bus_error*) {
        const LoginSession* found = of(userdata)->at(path);
        if (!found) return -ENOENT;
        const LoginSession& s = *found;
        const std::string_view p = name;
        if (p == "User") return sd_bus_message_append(reply, "(uo)", s.uid, "/user");
        if (p == "Seat") return sd_bus_message_append(reply, "(so)", s.seat.c_str(), "/seat");
        if (p == "VTNr") return sd_bus_message_append(reply, "u", s.vt);
        if (p == "LockedHint") return sd_bus_message_append(reply, "b", 0);
        if (p == "IdleHint") return sd_bus_message_append(reply, "b", of(userdata)->idleHint[s.id]);
        const std::map<std::string_view, bool> flags = {{"Remote", s.remote}, {"Active", s.active}};
        if (flags.contains(p)) return sd_bus_message_append(reply, "b", int{flags.at(p)});
        const std::map<std::string_view, std::string> texts = {
            {"Id", s.id},       {"Type", s.type},       {"Class", s.klass},
            {"State", s.state}, {"Display", s.display}, {"TTY", s.tty}};
        return sd_bus_message_append(reply, "s", texts.at(p).c_str());
    }
};

#define TOVU_PROPERTY(name, type)                                                                  \
    SD_BUS_PROPERTY(name, type, FakeLogind::Impl::property, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE)

FakeLogind::FakeLogind(const SystemBus& bus)
    : impl_(std::make_unique<Impl>()) {
    static const sd_bus_vtable manager[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("ListSessions", "", "a(susso)", Impl::listSessions, 0),
        SD_BUS_METHOD("GetSession", "s", "o", Impl::byId, 0),
        SD_BUS_METHOD("GetSessionByPID", "u", "o", Impl::byPid, 0),
        SD_BUS_METHOD("TerminateSession", "s", "", Impl::terminate, 0),
        SD_BUS_METHOD("ActivateSession", "s", "", Impl::activateSession, 0),
        SD_BUS_SIGNAL("SessionNew", "so", 0),
        SD_BUS_SIGNAL("SessionRemoved", "so", 0),
        SD_BUS_VTABLE_END};
    static const sd_bus_vtable opener[] = {SD_BUS_VTABLE_START(0),
                                           SD_BUS_METHOD("Open", "uusu", "s", Impl::open, 0),
                                           SD_BUS_VTABLE_END};
    static const sd_bus_vtable session[] = {
        SD_BUS_VTABLE_START(0),
        TOVU_PROPERTY("Id", "s"),
        TOVU_PROPERTY("User", "(uo)"),
        TOVU_PROPERTY("Type", "s"),
        TOVU_PROPERTY("Class", "s"),
        TOVU_PROPERTY("State", "s"),
        TOVU_PROPERTY("Seat", "(so)"),
        TOVU_PROPERTY("VTNr", "u"),
        TOVU_PROPERTY("Remote", "b"),
        TOVU_PROPERTY("Display", "s"),
        TOVU_PROPERTY("TTY", "s"),
        SD_BUS_PROPERTY("IdleHint", "b", Impl::property, 0,
                        SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION),
        TOVU_PROPERTY("LockedHint", "b"),
        TOVU_PROPERTY("Active", "b"),
        SD_BUS_METHOD("Lock", "", "", Impl::lock, 0),
        SD_BUS_VTABLE_END};
    Impl& i = *impl_;
    if (sd_bus_new(&i.bus) < 0 || sd_bus_set_address(i.bus, bus.address().c_str()) < 0 ||
        sd_bus_set_bus_client(i.bus, 1) < 0 || sd_bus_start(i.bus) < 0 ||
        sd_bus_add_object_vtable(i.bus, nullptr, managerPath, managerInterface, manager, &i) < 0 ||
        sd_bus_add_object_vtable(i.bus, nullptr, managerPath, "vn.tovu.test.Logind", opener, &i) <
            0 ||
        sd_bus_add_fallback_vtable(i.bus, nullptr, "/org/freedesktop/login1/session",
                                   sessionInterface, session, Impl::find, &i) < 0 ||
        sd_bus_request_name(i.bus, "org.freedesktop.login1", 0) < 0)
        throw std::runtime_error("stand-in logind did not start");
    i.thread = std::thread([&i] { i.run(); });
}

FakeLogind::~FakeLogind() {
    {
        std::lock_guard g(impl_->mutex);
        impl_->stop = true;
    }
    const std::uint64_t one = 1;
    if (::write(impl_->wake, &one, sizeof one) < 0) std::terminate(); // it would never end
    impl_->thread.join();
    for (const auto& [id, fd] : impl_->openedBy)
        ::close(fd);
    sd_bus_flush_close_unref(impl_->bus);
    ::close(impl_->wake);
}

void FakeLogind::add(LoginSession s) {
    std::lock_guard g(impl_->mutex);
    const std::string id = s.id;
    if (s.active && s.seat == "seat0") impl_->foreground = s.vt;
    impl_->sessions[id] = std::move(s);
    impl_->sendSession("SessionNew", id);
}

void FakeLogind::change(const std::string& id, const std::function<void(LoginSession&)>& edit) {
    std::lock_guard g(impl_->mutex);
    LoginSession& s = impl_->sessions.at(id);
    const LoginSession old = s;
    edit(s);
    std::vector<const char*> changed;
    for (const auto& [name, differs] :
         {std::pair{"Active", s.active != old.active}, {"State", s.state != old.state}})
        if (differs) changed.push_back(name);
    impl_->announce(id, changed);
}

void FakeLogind::remove(const std::string& id) {
    std::lock_guard g(impl_->mutex);
    impl_->sessions.erase(id);
    impl_->sendSession("SessionRemoved", id);
}

void FakeLogind::activate(const std::string& id) {
    std::lock_guard g(impl_->mutex);
    impl_->makeActive(id);
}

void FakeLogind::setIdleHint(const std::string& id, bool idle) {
    std::lock_guard g(impl_->mutex);
    impl_->idleHint[id] = idle;
    impl_->announce(id, {"IdleHint"});
}

std::string FakeLogind::front() const {
    std::lock_guard g(impl_->mutex);
    for (const auto& [id, s] : impl_->sessions)
        if (s.seat == "seat0" && s.active) return id;
    return {};
}

std::optional<LoginSession> FakeLogind::session(const std::string& id) const {
    std::lock_guard g(impl_->mutex);
    const auto it = impl_->sessions.find(id);
    if (it == impl_->sessions.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> FakeLogind::calls() const {
    std::lock_guard g(impl_->mutex);
    return impl_->calls;
}

LoginSession loginSession(std::string id, std::string type, std::uint32_t uid, bool active) {
    LoginSession s;
    s.id = std::move(id);
    s.path = sessionPrefix + s.id;
    s.uid = uid;
    s.type = std::move(type);
    s.klass = "user";
    s.state = active ? "active" : "online";
    s.seat = "seat0";
    s.display = s.type == "x11" ? ":0" : "";
    s.active = active;
    return s;
}

LoginSession onConsole(std::string id, std::uint32_t uid, std::uint32_t vt, bool active,
                       std::string klass) {
    auto s = loginSession(std::move(id), "x11", uid, active);
    s.vt = vt;
    s.klass = std::move(klass);
    return s;
}

} // namespace tovu::test
