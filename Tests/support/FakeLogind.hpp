#pragma once

#include "Sessions.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tovu::test {

// A private dbus-daemon that takes every connection and message, made the system bus of this
// process and its children (DBUS_SYSTEM_BUS_ADDRESS) for the object's life.
class SystemBus {
public:
    SystemBus();
    const std::string& address() const { return address_; }

private:
    TempDir dir_;
    std::string address_;
    std::optional<Child> daemon_;
    std::optional<ScopedEnv> env_;
};

// A session of uid as logind describes it, on seat0; an X11 one holds display ":0".
LoginSession loginSession(std::string id, std::string type, std::uint32_t uid, bool active = true);
// An X11 session of uid on console vt of seat0.
LoginSession onConsole(std::string id, std::uint32_t uid, std::uint32_t vt, bool active,
                       std::string klass = "user");

// The part of logind the daemon and the agent use, on the given bus, on a thread of its own:
// sessions that the test adds, changes and removes (with logind's signals: a change announces
// what changed, IdleHint by invalidation and the rest with their values), GetSession, the
// caller's session at session/auto (here the first one), GetSessionByPID answered from the
// process's XDG_SESSION_ID, ActivateSession (one active session per seat, as a console switch
// makes it), and a record of Lock, TerminateSession and ActivateSession calls (a terminated
// session goes away).
//
// A program stands for the lock screen's session by calling, on the bus,
// `vn.tovu.test.Logind.Open(u pid, u uid, s class, u vt)` on /org/freedesktop/login1: the
// session lives on seat0 as long as process pid, and is in front when its console is.
class FakeLogind {
public:
    explicit FakeLogind(const SystemBus& bus);
    ~FakeLogind();
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    void add(LoginSession s);
    void change(const std::string& id, const std::function<void(LoginSession&)>& edit);
    void remove(const std::string& id);
    // Brings the session to the front of its seat, as a switch of console does.
    void activate(const std::string& id);
    void setIdleHint(const std::string& id, bool idle);
    // "Lock c1", "TerminateSession c1", "ActivateSession c1", in order.
    std::vector<std::string> calls() const;
    // The session in front of seat0; empty when none is.
    std::string front() const;
    // A copy of a session; absent when there is none of that id.
    std::optional<LoginSession> session(const std::string& id) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tovu::test
