#pragma once

#include "LockLauncher.hpp"
#include "ProcessGuard.hpp"
#include "SessionGuard.hpp"
#include "Sessions.hpp"
#include "TovuProtocol/Clock.hpp"
#include "TovuProtocol/Models.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tovu {

// The daemon's hold on the child's sessions: keeps its own lock screen in front of them while
// the computer is locked (and locks and ends what it cannot cover), counts the minutes the
// child uses the computer, and ends the programs the rules do not allow as they start. Works on
// a thread of its own, woken by changes and by its own deadlines.
class SessionWatch {
public:
    // What the watch asks of the daemon.
    class Host {
    public:
        virtual const Clock& clock() const = 0;
        // The managed child's user id; absent while unpaired or when the account is unknown.
        virtual std::optional<std::uint32_t> uidCon() = 0;
        // The lock screen's account's user id; absent when there is none.
        virtual std::optional<std::uint32_t> uidManKhoa() const = 0;
        virtual std::optional<Policy> policyHieuLuc() = 0;
        // The minutes of today the daemon has booked.
        virtual std::int64_t tongHomNay() = 0;
        // The child's minutes of use on day have grown to minutes.
        virtual void demPhut(const std::string& day, std::int64_t minutes) = 0;
        virtual void log(std::string_view message) const = 0;

    protected:
        ~Host() = default;
    };

    struct Options {
        // From the desktop's lock of a session the lock screen cannot cover to its end.
        std::chrono::seconds grace{60};
        // Where the installed apps' desktop entries are.
        std::vector<std::string> appDirs;
        // Where the kernel shows the monitors' power.
        std::string drm = "/sys/class/drm";
        std::unique_ptr<LockLauncher> launcher;
    };

    SessionWatch(Host& daemon, Options options);
    ~SessionWatch();
    SessionWatch(const SessionWatch&) = delete;
    SessionWatch& operator=(const SessionWatch&) = delete;

    // The policy in force may have changed.
    void baoDoi();
    // Why the daemon cannot lock, count or enforce in every session of the child; absent when
    // it can.
    std::optional<std::string> lyDo();
    // The last program of the child that the rules ended; absent before any.
    std::optional<EndedApp> daDong() const { return apps_.daDong(); }
    // Brings the display manager's login screen, or its greeter session, to the front of the
    // console; the error to show, if any. Never touches the child's sessions.
    std::optional<std::string> dangNhapKhac();

private:
    void chay();
    void doiPhien();
    std::optional<Time> xet();
    void lam(const SessionGuard::Viec& viec, std::uint32_t lockUser, const std::string& title);

    Host& daemon_;
    std::mutex mutex_; // guards changed_, dung_ and lyDo_
    std::condition_variable cv_;
    bool changed_ = true;
    bool dung_ = false;
    std::optional<std::string> lyDo_;
    // Watch thread only:
    SessionGuard guard_;
    UsedTime time_;
    bool dem_ = false; // minutes were being counted at the last look
    ProcessGuard apps_;
    std::string drm_;
    std::unique_ptr<LockLauncher> launcher_;
    std::unique_ptr<LoginSessions> sessions_;
    std::thread thread_;
};

} // namespace tovu
