#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
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
    std::string klass; // "user", "greeter", "lock-screen", ...
    std::string state; // "active", "online", "closing"
    std::string seat;
    std::uint32_t vt = 0;
    bool remote = false;
    std::string display;
    std::string tty;
    bool active = false;

    bool operator==(const LoginSession&) const = default;
};

// Follows logind's sessions on the system bus from a thread of its own. Only signals that
// logind itself sent are heard (any user may send signals on the system bus), and they are
// mere hints: each makes it ask logind, at most once per session for a burst of them. A
// session is forgotten only when logind answers that it does not exist.
class LoginSessions {
public:
    using Log = std::function<void(std::string_view message)>;

    // changed runs on the watch thread after logind said something of its sessions.
    LoginSessions(std::function<void()> changed, Log log);
    ~LoginSessions();
    LoginSessions(const LoginSessions&) = delete;
    LoginSessions& operator=(const LoginSessions&) = delete;

    // Every known session.
    std::vector<LoginSession> all() const;
    // Shows the desktop's own lock screen.
    bool khoa(const std::string& id);
    bool ketThuc(const std::string& id);
    // Brings the session to the front of its seat.
    bool activate(const std::string& id);

private:
    void chay();
    bool ketNoi();
    // Follows the signals of logind's current connection, and reads every session again.
    void theoChu(const std::string& owner);
    void docLai();
    // Reads the session at path; false when logind did not answer, so it is asked again later.
    bool lamMoi(const std::string& path);
    // Opens calls_ when needed; the caller holds callMutex_.
    bool moCalls();
    bool goi(const char* path, const char* interface, const char* member, const std::string& arg);
    static int onSignal(sd_bus_message* m, void* self, sd_bus_error* error);
    static int onOwner(sd_bus_message* m, void* self, sd_bus_error* error);

    std::function<void()> changed_;
    Log log_;
    int stop_ = -1; // eventfd
    std::thread thread_;

    // Watch thread only:
    sd_bus* watch_ = nullptr;
    std::string owner_; // logind's unique name on the bus; empty while it is away
    std::vector<sd_bus_slot*> matches_;
    std::set<std::string> stale_; // sessions to read again
    bool relist_ = false;
    // When sessions logind did not answer for are asked again.
    std::chrono::steady_clock::time_point askAgainAt_;

    mutable std::mutex mutex_; // guards sessions_
    std::map<std::string, LoginSession> sessions_;

    std::mutex callMutex_; // guards calls_
    sd_bus* calls_ = nullptr;
};

} // namespace tovu
