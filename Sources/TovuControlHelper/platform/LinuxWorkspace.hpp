#pragma once

#include "TovuCore/AppIdentity.hpp"
#include "platform/LinuxXcb.hpp"
#include "platform/Workspace.hpp"

#include <map>
#include <set>
#include <xcb/xcb_ewmh.h>

namespace tovu {

// The apps of the X display, from the window manager's client list and active window (EWMH),
// or without a window manager from the mapped top-level windows and the input focus, and the
// windows other clients show inside them. An app is the process at the other end of a window's
// connection, named by the catalog; what the window claims gives only its name. The desktop's
// own components are left out.
class LinuxWorkspace final : public Workspace {
public:
    explicit LinuxWorkspace(AppCatalog catalog = AppCatalog::load());
    ~LinuxWorkspace() override;

    std::vector<RunningApp> runningApps() const override;
    std::optional<RunningApp> frontmostApp() const override;
    void forceTerminate(const RunningApp& app) override;

private:
    // What a shown window tells about its app.
    struct Window {
        // 0: no app of ours (remote, another user's); negative: a client whose process has gone
        // and whose connection no process of ours is known to hold, named by its X client.
        pid_t pid = 0;
        std::optional<std::uint64_t> started; // when that process started
        std::optional<std::string> identifier;
        std::optional<std::string> name;
        bool desktopComponent = false;
        bool overrideRedirect = false;
        bool mapped = false; // shown straight on the root window
        xcb_rectangle_t area{};
        // For another client's window inside a followed one: that top-level window.
        xcb_window_t inside = XCB_NONE;
    };

    void handle(const xcb_generic_event_t& event);
    void rescan();
    void readClientList();
    void readFront();
    // Follows a top-level window from now on.
    void track(xcb_window_t window);
    // Follows the windows inside a followed top-level window, and those of other clients there.
    void trackInside(xcb_window_t top);
    // Forgets a window, and the windows inside it.
    void forget(xcb_window_t window);
    void readMonitors();
    // Reads a followed window again, or forgets it when it has gone.
    void refresh(xcb_window_t window);
    // None when the window is no longer the one whose events this connection receives.
    std::optional<Window> examine(xcb_window_t window) const;
    void identify(Window& w, std::optional<std::uint32_t> serverPid, xcb_window_t window,
                  const std::optional<std::string>& claimedId,
                  const std::optional<std::string>& windowClass) const;
    bool makesRegular(const Window& window) const;
    std::map<pid_t, RunningApp> collect() const;
    std::optional<pid_t> frontPid() const;
    void publish();

    AppCatalog catalog_;
    XcbConnection x_;
    bool ready_ = false;
    bool hasRes_ = false;
    std::uint8_t randrEvent_ = 0; // 0: no RandR
    std::vector<xcb_rectangle_t> monitors_;
    xcb_ewmh_connection_t ewmh_{};
    xcb_atom_t gtkApplicationId_ = XCB_NONE;
    xcb_atom_t kdeDesktopFile_ = XCB_NONE;
    std::string host_;

    bool wm_ = false;
    xcb_window_t wmCheck_ = XCB_NONE;
    xcb_window_t frontWindow_ = XCB_NONE;
    std::map<xcb_window_t, Window> windows_;
    std::set<xcb_window_t> clients_; // the window manager's
    // Windows inside followed top-level windows → that top-level window.
    std::map<xcb_window_t, xcb_window_t> within_;
    std::map<pid_t, RunningApp> apps_;
    std::optional<pid_t> front_;
};

// The process of this user that a window belongs to, else 0. serverPid is the process at the
// other end of the window's connection, which the X server knows and a client cannot misstate
// (none for a client over TCP). Only without it do the window's own WM_CLIENT_MACHINE and
// _NET_WM_PID count, and only when the machine is this host. When serverPid has ended, the
// process of ours that it left its connection to, found by its process group or session; else 0.
pid_t windowProcess(std::optional<std::uint32_t> serverPid,
                    const std::optional<std::string>& machine,
                    std::optional<std::uint32_t> claimedPid, const std::string& host);

} // namespace tovu
