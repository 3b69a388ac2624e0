#pragma once

#include "support/XView.hpp"

#include <atomic>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

namespace tovu::test {

// A window as a client of the child could show it, with raw requests.
struct WindowSpec {
    Area area = {0, 0, 200, 200};
    bool overrideRedirect = false;
    std::string wmClass{}; // none when empty
    // Properties of atoms: _NET_WM_WINDOW_TYPE → _NET_WM_WINDOW_TYPE_DOCK.
    std::vector<std::pair<std::string, std::string>> atoms{};
    xcb_window_t parent = XCB_NONE; // the root when none
};

// Creates the window on the connection, unmapped, with the properties of plan.
xcb_window_t createWindow(xcb_connection_t* c, const WindowSpec& plan);

// A process of the test's own that shows a window on display and then, as told: stays; exits at
// once; or exits leaving its connection to a process it forked in a session of its own
// (stranger); or, started in a session of its own, forks and exits before the process it forked
// shows the window, and is not reaped until the object ends (unreaped); or forks a process in
// its group that holds the connection too, both staying until leave() (shared). The process
// that holds the connection is killed with the object.
class XClient {
public:
    enum class Then { stay, exit, leaveToStranger, leaveUnreaped, shareWithHeir };

    XClient(const std::string& display, const WindowSpec& window, Then then = Then::stay);
    ~XClient();
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    // The process that holds the connection now (at the end, for shareWithHeir).
    pid_t pid() const { return holder_; }
    // The process that made the connection.
    pid_t connector() const { return child_; }
    xcb_window_t window() const { return window_; }
    // Whether the holder has died (it is reaped then when it is the test's child).
    bool dead();
    // Kills and reaps the connector, leaving the connection to the holder.
    void leave();

private:
    pid_t child_ = -1;
    pid_t holder_ = -1;
    bool ended_ = false;
    bool reaped_ = false; // child_
    xcb_window_t window_ = XCB_NONE;
};

// A client of the child with tiny windows that bypass the window manager, each in turn
// unmapped and mapped again, or destroyed and made anew, as fast as the X server lets it, until
// the object ends.
class WindowFlood {
public:
    enum class Churn { remap, remake };

    WindowFlood(const std::string& display, int count, Churn churn);
    ~WindowFlood();
    WindowFlood(const WindowFlood&) = delete;
    WindowFlood& operator=(const WindowFlood&) = delete;

private:
    xcb_window_t make(int i);

    xcb_connection_t* c_;
    std::vector<xcb_window_t> windows_;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

} // namespace tovu::test
