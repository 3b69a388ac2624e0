#include "Sessions.hpp"

#include <cerrno>
#include <cstring>
#include <map>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace tovu {
namespace {

constexpr const char* logind = "org.freedesktop.login1";
constexpr const char* managerPath = "/org/freedesktop/login1";
constexpr const char* manager = "org.freedesktop.login1.Manager";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
constexpr std::uint64_t callTimeoutUsec = 5'000'000;
// While the system bus is away the watch tries again this often.
constexpr int retryMs = 10'000;

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
        {"Remote", &LoginSession::remote},
        {"IdleHint", &LoginSession::idle},
        {"Active", &LoginSession::active}};
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
    sd_bus_flush_close_unref(watch_);
    sd_bus_flush_close_unref(calls_);
}

std::vector<LoginSession> LoginSessions::cuaNguoiDung(std::uint32_t uid) const {
    std::vector<LoginSession> out;
    Lock g(khoa_);
    for (const auto& [path, s] : sessions_)
        if (s.uid == uid) out.push_back(s);
    return out;
}

bool LoginSessions::ketNoi() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return false;
    const char* signals[] = {
        "type='signal',interface='org.freedesktop.login1.Manager',member='SessionNew'",
        "type='signal',interface='org.freedesktop.login1.Manager',member='SessionRemoved'",
        "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
        "path_namespace='/org/freedesktop/login1/session'"};
    for (const char* match : signals) {
        if (sd_bus_add_match(bus, nullptr, match, onSignal, this) < 0) {
            sd_bus_flush_close_unref(bus);
            return false;
        }
    }
    watch_ = bus;
    Message reply;
    Error error;
    if (sd_bus_call_method(watch_, logind, managerPath, manager, "ListSessions", &error.e, &reply.m,
                           "") < 0) {
        log_(std::string("Không đọc được các phiên đăng nhập: ") +
             (error.e.message ? error.e.message : "logind không trả lời"));
        return true; // its signals still come when it starts
    }
    std::vector<std::string> paths;
    if (sd_bus_message_enter_container(reply.m, 'a', "(susso)") >= 0) {
        const char *id, *user, *seat, *path;
        std::uint32_t uid;
        while (sd_bus_message_read(reply.m, "(susso)", &id, &uid, &user, &seat, &path) > 0)
            paths.emplace_back(path);
    }
    for (const auto& path : paths)
        lamMoi(path);
    return true;
}

void LoginSessions::lamMoi(const std::string& path) {
    Message reply;
    Error error;
    std::optional<LoginSession> s;
    if (sd_bus_call_method(watch_, logind, path.c_str(), "org.freedesktop.DBus.Properties",
                           "GetAll", &error.e, &reply.m, "s", sessionInterface) >= 0)
        s = docPhien(reply.m, path);
    {
        Lock g(khoa_);
        const auto it = sessions_.find(path);
        if (!s) {
            // Gone, or logind no longer answers for it.
            if (it == sessions_.end()) return;
            sessions_.erase(it);
        } else {
            if (it != sessions_.end() && it->second == *s) return;
            sessions_[path] = *s;
        }
    }
    changed_();
}

int LoginSessions::onSignal(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* me = static_cast<LoginSessions*>(self);
    std::string path;
    if (std::strcmp(sd_bus_message_get_member(m), "PropertiesChanged") == 0) {
        path = sd_bus_message_get_path(m);
    } else {
        const char *id, *object;
        if (sd_bus_message_read(m, "so", &id, &object) < 0) return 0;
        path = object;
    }
    me->lamMoi(path);
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
            int r;
            while ((r = sd_bus_process(watch_, nullptr)) > 0) {
            }
            if (r < 0) {
                // The bus went away: start over, and forget what may have changed meanwhile.
                sd_bus_flush_close_unref(watch_);
                watch_ = nullptr;
                {
                    Lock g(khoa_);
                    sessions_.clear();
                }
                changed_();
                continue;
            }
            fds[1] = {sd_bus_get_fd(watch_), static_cast<short>(sd_bus_get_events(watch_)), 0};
            std::uint64_t usec = UINT64_MAX;
            sd_bus_get_timeout(watch_, &usec);
            timeout = -1;
            if (usec != UINT64_MAX) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                const auto nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                                     static_cast<std::uint64_t>(now.tv_nsec) / 1000;
                timeout = usec > nowUsec ? static_cast<int>((usec - nowUsec + 999) / 1000) : 0;
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
    Lock g(callKhoa_);
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

std::optional<std::string> LoginSessions::phienCua(std::int32_t pid) {
    Lock g(callKhoa_);
    if (!moCalls()) return std::nullopt;
    Message reply;
    Error error;
    if (sd_bus_call_method(calls_, logind, managerPath, manager, "GetSessionByPID", &error.e,
                           &reply.m, "u", static_cast<std::uint32_t>(pid)) < 0)
        return std::nullopt;
    const char* path = nullptr;
    if (sd_bus_message_read(reply.m, "o", &path) < 0) return std::nullopt;
    Message id;
    if (sd_bus_get_property(calls_, logind, path, sessionInterface, "Id", &error.e, &id.m, "s") < 0)
        return std::nullopt;
    std::string out;
    if (docChuoi(id.m, out) < 0) return std::nullopt;
    return out;
}

bool LoginSessions::khoa(const std::string& id) {
    std::string path;
    {
        Lock g(khoa_);
        for (const auto& [p, s] : sessions_)
            if (s.id == id) path = p;
    }
    return !path.empty() && goi(path.c_str(), sessionInterface, "Lock", {});
}

bool LoginSessions::ketThuc(const std::string& id) {
    return goi(managerPath, manager, "TerminateSession", id);
}

} // namespace tovu
