#pragma once

#include "ProcessGuard.hpp"
#include "SessionGuard.hpp"
#include "Sessions.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tovu {

class Daemon;

// The daemon's last line in every session of the child: follows the sessions, knows which a
// live agent guards, locks and ends the others while the computer is locked, ends disallowed
// apps while one goes unguarded, and books the time used in them. Works on a thread of its own,
// woken by changes and by its own deadlines.
class SessionWatch {
public:
    struct Options {
        // From the lock of an unguarded session to its end.
        std::chrono::seconds grace{60};
        // Where the installed apps' desktop entries are.
        std::vector<std::string> appDirs;
    };

    SessionWatch(Daemon& daemon, Options options);
    ~SessionWatch();
    SessionWatch(const SessionWatch&) = delete;
    SessionWatch& operator=(const SessionWatch&) = delete;

    // A request from the agent's process pid, that says it holds the X display. Never waits:
    // the process's session is asked of logind on the watch thread.
    void agentGoi(std::int32_t pid, const std::string& display);
    // The policy in force may have changed.
    void baoDoi();
    // Why the child's sessions are not all covered; absent when they are.
    std::optional<std::string> lyDo();

private:
    void chay();
    void doiPhien();
    // Finds the sessions of the agents that called since the last look.
    void hoiPhien();
    std::optional<Time> xet();
    void lam(const SessionGuard::Viec& viec, const std::string& title);

    Daemon& daemon_;
    struct Goi {
        Time luc;
        std::string display;
    };
    // Agents whose session is not yet known; a few at a time, whoever calls.
    static constexpr std::size_t maxChoHoi = 16;

    std::mutex khoa_; // guards guard_, choHoi_, phienCuaPid_, doi_ and dung_
    std::condition_variable cv_;
    bool doi_ = true;
    bool dung_ = false;
    SessionGuard guard_;
    std::map<std::int32_t, Goi> choHoi_;
    std::map<std::int32_t, std::string> phienCuaPid_;
    // Watch thread only:
    UnguardedTime time_;
    ProcessGuard apps_;
    std::set<std::string> guarded_;
    std::unique_ptr<LoginSessions> sessions_;
    std::thread thread_;
};

} // namespace tovu
