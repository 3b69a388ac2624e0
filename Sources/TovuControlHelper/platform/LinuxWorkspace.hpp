#pragma once

#include "platform/LinuxXcb.hpp"
#include "platform/Workspace.hpp"

#include <map>
#include <xcb/xcb_ewmh.h>

namespace tovu {

// The apps of the X display, from the window manager's client list and active window (EWMH),
// or without a window manager from the mapped top-level windows and the input focus.
class LinuxWorkspace final : public Workspace {
public:
    LinuxWorkspace();
    ~LinuxWorkspace() override;

    std::vector<RunningApp> runningApps() const override;
    std::optional<RunningApp> frontmostApp() const override;
    void forceTerminate(const RunningApp& app) override;

private:
    // What a top-level window tells about its app.
    struct Window {
        pid_t pid = 0;                        // 0: no app of ours (remote, another user's, unknown)
        std::optional<std::uint64_t> started; // when that process started
        std::optional<std::string> identifier;
        std::optional<std::string> name;
        bool overrideRedirect = false;
        bool ordinary = false; // a normal or dialog window shown in the taskbar
        xcb_rectangle_t area{};
    };

    void handle(const xcb_generic_event_t& event);
    void rescan();
    void readClientList();
    void readFront();
    // Follows a top-level window from now on.
    void track(xcb_window_t window);
    // Reads a followed window again, or forgets it when it has gone.
    void refresh(xcb_window_t window);
    // None when the window is no longer the one whose events this connection receives.
    std::optional<Window> examine(xcb_window_t window) const;
    std::optional<std::string> desktopName(const std::string& id) const;
    bool makesRegular(const Window& window) const;
    std::map<pid_t, RunningApp> collect() const;
    std::optional<pid_t> frontPid() const;
    void publish();

    XcbConnection x_;
    bool ready_ = false;
    bool hasRes_ = false;
    xcb_ewmh_connection_t ewmh_{};
    xcb_atom_t gtkApplicationId_ = XCB_NONE;
    xcb_atom_t kdeDesktopFile_ = XCB_NONE;
    std::string host_;

    bool wm_ = false;
    xcb_window_t wmCheck_ = XCB_NONE;
    xcb_window_t frontWindow_ = XCB_NONE;
    std::map<xcb_window_t, Window> windows_;
    std::map<pid_t, RunningApp> apps_;
    std::optional<pid_t> front_;
    mutable std::map<std::string, std::optional<std::string>> desktopNames_;
};

// The process of this user that a window belongs to, else 0. serverPid is the process at the
// other end of the window's connection, which the X server knows and a client cannot misstate
// (none for a client over TCP). Only without it do the window's own WM_CLIENT_MACHINE and
// _NET_WM_PID count, and only when the machine is this host.
pid_t windowProcess(std::optional<std::uint32_t> serverPid,
                    const std::optional<std::string>& machine,
                    std::optional<std::uint32_t> claimedPid, const std::string& host);

} // namespace tovu
