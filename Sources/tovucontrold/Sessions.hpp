#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <systemd/sd-bus.h>
#include <thread>
#include <vector>

namespace tovu {

// One login session as logind describes it.
struct LoginSession {
    std::string id;
    std::string path;
    std::uint32_t uid = 0;
    std::string type;  // "x11", "wayland", "tty", "mir", "unspecified"
    std::string klass; // "user", "greeter", ...
    std::string state; // "active", "online", "closing"
    std::string seat;
    std::uint32_t vt = 0;
    bool remote = false;
    std::string display;
    std::string tty;
    bool idle = false;
    bool active = false;

    bool operator==(const LoginSession&) const = default;
};

// Follows logind's sessions on the system bus from a thread of its own, woken only by logind's
// signals. Signals are mere hints: every one makes it ask logind itself, so a process that
// forges them changes nothing.
class LoginSessions {
public:
    using Log = std::function<void(std::string_view message)>;

    // changed runs on the watch thread after each change of any session.
    LoginSessions(std::function<void()> changed, Log log);
    ~LoginSessions();
    LoginSessions(const LoginSessions&) = delete;
    LoginSessions& operator=(const LoginSessions&) = delete;

    // The known sessions of the user.
    std::vector<LoginSession> cuaNguoiDung(std::uint32_t uid) const;
    // The id of the session the process belongs to; absent when it has none or logind is away.
    std::optional<std::string> phienCua(std::int32_t pid);
    // Shows the desktop's own lock screen.
    bool khoa(const std::string& id);
    bool ketThuc(const std::string& id);

private:
    void chay();
    bool ketNoi();
    void lamMoi(const std::string& path);
    // Opens calls_ when needed; the caller holds callKhoa_.
    bool moCalls();
    bool goi(const char* path, const char* interface, const char* member, const std::string& arg);
    static int onSignal(sd_bus_message* m, void* self, sd_bus_error* error);

    std::function<void()> changed_;
    Log log_;
    sd_bus* watch_ = nullptr; // used by the watch thread only
    int stop_ = -1;           // eventfd
    std::thread thread_;

    mutable std::mutex khoa_; // guards sessions_
    std::map<std::string, LoginSession> sessions_;

    std::mutex callKhoa_; // guards calls_
    sd_bus* calls_ = nullptr;
};

} // namespace tovu
