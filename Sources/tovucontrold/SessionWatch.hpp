#pragma once

#include "LockLauncher.hpp"
#include "ProcessGuard.hpp"
#include "SessionGuard.hpp"
#include "Sessions.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tovu {

class Daemon;

// The daemon's hold on the child's sessions: keeps its own lock screen in front of them while
// the computer is locked (and locks and ends what it cannot cover), counts the minutes the
// child uses the computer, and ends the programs the rules do not allow as they start. Works on
// a thread of its own, woken by changes and by its own deadlines.
class SessionWatch {
public:
    struct Options {
        // From the desktop's lock of a session the lock screen cannot cover to its end.
        std::chrono::seconds grace{60};
        // Where the installed apps' desktop entries are.
        std::vector<std::string> appDirs;
        // Where the kernel shows the monitors' power.
        std::string drm = "/sys/class/drm";
        std::unique_ptr<LockLauncher> launcher;
    };

    SessionWatch(Daemon& daemon, Options options);
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

    Daemon& daemon_;
    std::mutex mutex_; // guards doi_, dung_ and lyDo_
    std::condition_variable cv_;
    bool doi_ = true;
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
