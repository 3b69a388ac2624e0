#include "Sessions.hpp"

#include <cerrno>
#include <cstring>
#include <map>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <utility>

namespace tovu {
namespace {

constexpr const char* logind = "org.freedesktop.login1";
constexpr const char* managerPath = "/org/freedesktop/login1";
constexpr const char* manager = "org.freedesktop.login1.Manager";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
constexpr std::uint64_t callTimeoutUsec = 5'000'000;
// While the system bus is away the watch tries again this often.
constexpr int retryMs = 10'000;
// A session logind did not answer for is asked again after this long.
constexpr int staleRetryMs = 1'000;
// Messages handled before the sessions they name are read: a burst costs one read each.
constexpr int burst = 256;

using Lock = std::lock_guard<std::mutex>;

struct Message {
    sd_bus_message* m = nullptr;
    ~Message() { sd_bus_message_unref(m); }
};

struct Error {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&e); }
};

int docChuoi(sd_bus_message* m, std::string& out) {
    const char* s = nullptr;
    const int r = sd_bus_message_read_basic(m, 's', &s);
    if (r > 0) out = s;
    return r;
}

// One property value of a session, from inside its variant.
int docThuocTinh(sd_bus_message* m, std::string_view name, LoginSession& s) {
    static const std::map<std::string_view, std::string LoginSession::*> texts = {
        {"Id", &LoginSession::id},           {"Type", &LoginSession::type},
        {"Class", &LoginSession::klass},     {"State", &LoginSession::state},
        {"Display", &LoginSession::display}, {"TTY", &LoginSession::tty}};
    static const std::map<std::string_view, bool LoginSession::*> flags = {
        {"Remote", &LoginSession::remote}, {"Active", &LoginSession::active}};
    const char* text = nullptr;
    if (const auto it = texts.find(name); it != texts.end()) {
        const int r = sd_bus_message_read(m, "v", "s", &text);
        if (r > 0) s.*(it->second) = text;
        return r;
    }
    if (const auto it = flags.find(name); it != flags.end()) {
        int b = 0;
        const int r = sd_bus_message_read(m, "v", "b", &b);
        if (r > 0) s.*(it->second) = b != 0;
        return r;
    }
    if (name == "VTNr") return sd_bus_message_read(m, "v", "u", &s.vt);
    if (name == "User") return sd_bus_message_read(m, "v", "(uo)", &s.uid, &text);
    if (name == "Seat") {
        const char* seat = nullptr;
        const int r = sd_bus_message_read(m, "v", "(so)", &seat, &text);
        if (r > 0) s.seat = seat;
        return r;
    }
    return sd_bus_message_skip(m, "v");
}

std::optional<LoginSession> docPhien(sd_bus_message* m, const std::string& path) {
    LoginSession s;
    s.path = path;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return std::nullopt;
    for (;;) {
        const int r = sd_bus_message_enter_container(m, 'e', "sv");
        if (r < 0) return std::nullopt;
        if (r == 0) break;
        std::string name;
        if (docChuoi(m, name) < 0 || docThuocTinh(m, name, s) < 0 ||
            sd_bus_message_exit_container(m) < 0)
            return std::nullopt;
    }
    return s;
}

// Errors by which logind says that a session does not exist, rather than that it did not answer.
bool gone(const sd_bus_error& e) {
    return sd_bus_error_has_names(&e, SD_BUS_ERROR_UNKNOWN_OBJECT, SD_BUS_ERROR_UNKNOWN_INTERFACE,
                                  SD_BUS_ERROR_UNKNOWN_METHOD,
                                  "org.freedesktop.login1.NoSuchSession");
}

} // namespace

LoginSessions::LoginSessions(std::function<void()> changed, Log log)
    : changed_(std::move(changed))
    , log_(std::move(log))
    , stop_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    thread_ = std::thread([this] { chay(); });
}

LoginSessions::~LoginSessions() {
    const std::uint64_t one = 1;
    if (::write(stop_, &one, sizeof one) < 0) std::terminate(); // the thread would never end
    thread_.join();
    ::close(stop_);
    for (auto* slot : matches_)
        sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(watch_);
    sd_bus_flush_close_unref(calls_);
}

std::vector<LoginSession> LoginSessions::all() const {
    std::vector<LoginSession> out;
    std::lock_guard g(mutex_);
    for (const auto& [path, s] : sessions_)
        out.push_back(s);
    return out;
}

bool LoginSessions::ketNoi() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return false;
    // Only the bus itself sends as org.freedesktop.DBus.
    if (sd_bus_add_match(bus, nullptr,
                         "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                         "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                         "arg0='org.freedesktop.login1'",
                         onOwner, this) < 0) {
        sd_bus_flush_close_unref(bus);
        return false;
    }
    watch_ = bus;
    Message reply;
    Error error;
    const char* owner = "";
    if (sd_bus_call_method(watch_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetNameOwner", &error.e, &reply.m, "s",
                           logind) >= 0)
        sd_bus_message_read(reply.m, "s", &owner);
    else
        log_("logind chưa chạy — chờ nó để theo dõi các phiên đăng nhập");
    theoChu(owner);
    return true;
}

void LoginSessions::theoChu(const std::string& owner) {
    for (auto* slot : matches_)
        sd_bus_slot_unref(slot);
    matches_.clear();
    owner_ = owner;
    if (owner_.empty()) return; // its NameOwnerChanged brings it back
    const std::string from = "type='signal',sender='" + owner_ + "',";
    for (const std::string& rule :
         {from + "path='/org/freedesktop/login1',interface='org.freedesktop.login1.Manager'",
          from + "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
                 "path_namespace='/org/freedesktop/login1/session'"}) {
        sd_bus_slot* slot = nullptr;
        if (sd_bus_add_match(watch_, &slot, rule.c_str(), onSignal, this) >= 0)
            matches_.push_back(slot);
    }
    relist_ = true;
}

void LoginSessions::docLai() {
    relist_ = false;
    Message reply;
    Error error;
    if (sd_bus_call_method(watch_, owner_.c_str(), managerPath, manager, "ListSessions", &error.e,
                           &reply.m, "") < 0) {
        log_(std::string("Không đọc được các phiên đăng nhập: ") +
             (error.e.message ? error.e.message : "logind không trả lời"));
        relist_ = true;
        return;
    }
    if (sd_bus_message_enter_container(reply.m, 'a', "(susso)") >= 0) {
        const char *id, *user, *seat, *path;
        std::uint32_t uid;
        while (sd_bus_message_read(reply.m, "(susso)", &id, &uid, &user, &seat, &path) > 0)
            stale_.insert(path);
    }
    // Those it no longer lists are asked too: only its answer removes them.
    std::lock_guard g(mutex_);
    for (const auto& [path, s] : sessions_)
        stale_.insert(path);
}

bool LoginSessions::lamMoi(const std::string& path) {
    Message reply;
    Error error;
    std::optional<LoginSession> s;
    if (sd_bus_call_method(watch_, owner_.c_str(), path.c_str(), "org.freedesktop.DBus.Properties",
                           "GetAll", &error.e, &reply.m, "s", sessionInterface) >= 0)
        s = docPhien(reply.m, path);
    else if (!gone(error.e))
        return false;
    std::lock_guard g(mutex_);
    if (s)
        sessions_[path] = *s;
    else
        sessions_.erase(path);
    return true;
}

int LoginSessions::onSignal(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* me = static_cast<LoginSessions*>(self);
    const char* sender = sd_bus_message_get_sender(m);
    if (!sender || me->owner_ != sender) return 0;
    const char* member = sd_bus_message_get_member(m);
    if (std::strcmp(member, "PropertiesChanged") == 0) {
        me->stale_.insert(sd_bus_message_get_path(m));
    } else if (std::strcmp(member, "SessionNew") == 0 ||
               std::strcmp(member, "SessionRemoved") == 0) {
        const char *id, *object;
        if (sd_bus_message_read(m, "so", &id, &object) >= 0) me->stale_.insert(object);
    }
    return 0;
}

int LoginSessions::onOwner(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* me = static_cast<LoginSessions*>(self);
    const char *name, *before, *after;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0) return 0;
    if (me->owner_ != after) me->theoChu(after);
    return 0;
}

void LoginSessions::chay() {
    bool logged = false;
    for (;;) {
        if (!watch_ && !ketNoi() && !logged) {
            log_("Không kết nối được bus hệ thống — chưa theo dõi được các phiên đăng nhập");
            logged = true;
        }
        pollfd fds[2] = {{stop_, POLLIN, 0}, {-1, 0, 0}};
        int timeout = retryMs;
        if (watch_) {
            int r = 0, handled = 0;
            while (handled < burst && (r = sd_bus_process(watch_, nullptr)) > 0)
                ++handled;
            if (r < 0) {
                // The bus went away: start over. What logind said stays known until it answers
                // again; the sessions did not end because the bus restarted.
                for (auto* slot : std::exchange(matches_, {}))
                    sd_bus_slot_unref(slot);
                sd_bus_flush_close_unref(watch_);
                watch_ = nullptr;
                owner_.clear();
                continue;
            }
            const auto now = std::chrono::steady_clock::now();
            bool asked = false;
            if (!owner_.empty() && (relist_ || !stale_.empty()) && now >= askAgainAt_) {
                asked = true;
                if (relist_) docLai();
                std::set<std::string> unanswered;
                const auto asking = std::exchange(stale_, {});
                for (const auto& path : asking)
                    if (!lamMoi(path)) unanswered.insert(path);
                // Every word of logind's counts, even one that ends where the daemon last
                // looked: what happened in between (the child's session in front and back) may
                // call for the daemon to act again.
                if (unanswered.size() < asking.size()) changed_();
                stale_ = std::move(unanswered);
                if (relist_ || !stale_.empty())
                    askAgainAt_ = now + std::chrono::milliseconds(staleRetryMs);
            }
            // More are waiting; or the answers just read brought signals along, which the bus
            // connection now holds without the socket showing them.
            if (handled == burst || asked) continue;
            fds[1] = {sd_bus_get_fd(watch_), static_cast<short>(sd_bus_get_events(watch_)), 0};
            std::uint64_t usec = UINT64_MAX;
            sd_bus_get_timeout(watch_, &usec);
            timeout = stale_.empty() && !relist_ ? -1 : staleRetryMs;
            if (usec != UINT64_MAX) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                const auto nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                                     static_cast<std::uint64_t>(now.tv_nsec) / 1000;
                const int due =
                    usec > nowUsec ? static_cast<int>((usec - nowUsec + 999) / 1000) : 0;
                timeout = timeout < 0 ? due : std::min(timeout, due);
            }
        }
        if (::poll(fds, watch_ ? 2 : 1, timeout) < 0 && errno != EINTR) return;
        if (fds[0].revents & POLLIN) return;
    }
}

bool LoginSessions::moCalls() {
    if (calls_ && sd_bus_is_open(calls_) > 0) return true;
    sd_bus_flush_close_unref(calls_);
    calls_ = nullptr;
    return sd_bus_open_system(&calls_) >= 0;
}

bool LoginSessions::goi(const char* path, const char* interface, const char* member,
                        const std::string& arg) {
    std::lock_guard g(callMutex_);
    if (!moCalls()) return false;
    Message reply;
    Error error;
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(calls_, &call, logind, path, interface, member);
    if (r >= 0 && !arg.empty()) r = sd_bus_message_append(call, "s", arg.c_str());
    if (r >= 0) r = sd_bus_call(calls_, call, callTimeoutUsec, &error.e, &reply.m);
    sd_bus_message_unref(call);
    if (r < 0)
        log_(std::string("logind từ chối ") + member + ": " +
             (error.e.message ? error.e.message : std::strerror(-r)));
    return r >= 0;
}

bool LoginSessions::khoa(const std::string& id) {
    std::string path;
    {
        std::lock_guard g(mutex_);
        for (const auto& [p, s] : sessions_)
            if (s.id == id) path = p;
    }
    return !path.empty() && goi(path.c_str(), sessionInterface, "Lock", {});
}

bool LoginSessions::ketThuc(const std::string& id) {
    return goi(managerPath, manager, "TerminateSession", id);
}

bool LoginSessions::activate(const std::string& id) {
    return goi(managerPath, manager, "ActivateSession", id);
}

} // namespace tovu
