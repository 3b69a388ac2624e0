#pragma once

#include "TovuCore/AppIdentity.hpp"
#include "platform/LinuxXcb.hpp"
#include "platform/Workspace.hpp"

#include <QTimer>
#include <deque>
#include <map>
#include <set>
#include <xcb/res.h>
#include <xcb/xcb_ewmh.h>

namespace tovu {

// The process that made a connection to the X server, as the X server names it (a client cannot
// misstate it) when the agent first saw the connection.
struct Connector {
    std::uint32_t pid = 0;
    // When it started; none when it had already ended by then.
    std::optional<std::uint64_t> started;

    auto operator<=>(const Connector&) const = default;
};

// A connection that has outlived its process and is held by none of this user's that can be
// named: only the connection itself can be ended.
inline constexpr pid_t orphaned = -1;

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
    // What a window tells about its app.
    struct Window {
        // 0: no app of ours (remote, another user's); negative: a client whose process has gone
        // and whose connection no process of ours is known to hold, named by its X client.
        pid_t pid = 0;
        std::optional<std::uint64_t> started; // when that process started
        std::optional<std::string> identifier;
        std::optional<std::string> name;
        bool desktopComponent = false;
        bool overrideRedirect = false;
        // A top-level window counts while mapped on the root window, or, managed, while the
        // window manager lists it; it is remembered while it exists, so that a window that comes
        // and goes costs no questions to the server.
        bool shown = false;
        xcb_rectangle_t area{};
        // For another client's window inside a followed one: that top-level window.
        xcb_window_t inside = XCB_NONE;
    };
    // Windows to look at, each once and in the order asked, with the followed top-level window
    // they belong to.
    class WindowQueue {
    public:
        void push(xcb_window_t window, xcb_window_t top);
        void erase(xcb_window_t window) { waiting_.erase(window); }
        bool empty() const { return waiting_.empty(); }
        void clear();
        // The first n at most, taken off the queue.
        std::vector<std::pair<xcb_window_t, xcb_window_t>> take(std::size_t n);

    private:
        std::map<xcb_window_t, xcb_window_t> waiting_;
        std::deque<xcb_window_t> order_; // may name some no longer waiting
    };
    // The questions about a window to examine, asked before any answer is awaited.
    struct Questions;
    // Per-process facts learnt once per batch of windows.
    struct Batch;

    void handle(const xcb_generic_event_t& event);
    // Does the work that events asked for, a bounded batch in one round trip to the server;
    // true while work is left.
    bool settle();
    void rescan();
    void useClientList(const std::vector<std::uint32_t>& list);
    void readFront();
    void readMonitors();
    Questions ask(xcb_window_t window);
    // Follows or reads a window again from the answers; inside: the followed top-level window
    // it shows in, if any.
    void examine(xcb_window_t window, xcb_window_t inside, Questions& questions, Batch& batch);
    // Follows the windows that a window inside top holds, and has those of other clients there
    // examined.
    void lookInside(xcb_window_t top, const xcb_query_tree_reply_t* tree);
    // Forgets a window, and the windows inside it.
    void forget(xcb_window_t window);
    void identify(Window& w, xcb_window_t window, const std::optional<std::string>& claimedId,
                  const std::optional<std::string>& windowClass, Batch& batch) const;
    // The connector of a client, by its id bits, now that the server names pid for it.
    Connector connector(std::uint32_t client, std::uint32_t pid);
    // Notes the connections the server has now, so that each is known by its process early,
    // before that process could end and its pid be reused; and has the windows of processes
    // that ended looked at again.
    void checkProcesses(const xcb_res_query_client_ids_reply_t* clients);
    bool makesRegular(const Window& window) const;
    bool counts(const Window& window) const;
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
    // Windows inside followed top-level windows → that top-level window, and the other way.
    std::map<xcb_window_t, xcb_window_t> within_;
    std::map<xcb_window_t, std::set<xcb_window_t>> nested_;
    std::map<pid_t, RunningApp> apps_;
    std::optional<pid_t> front_;

    // What the events handled since the last settling asked for.
    WindowQueue examining_;
    WindowQueue looking_; // windows whose subwindows to follow
    bool rescan_ = false;
    bool readClientList_ = false;
    bool readFront_ = false;
    bool readMonitors_ = false;
    bool checkProcesses_ = false;
    bool changed_ = false;
    // By client id bits.
    std::map<std::uint32_t, Connector> connectors_;
    QTimer processCheck_;
};

// When a process started, in clock ticks since boot, while it runs: none once it has ended, even
// before its parent reaps it. With its pid, it names one process for good.
std::optional<std::uint64_t> liveStart(pid_t pid);

// The process of this user that a window belongs to, 0 when none (another user's, another
// host's), or orphaned. Without a connector (a client over TCP), only the window's own
// WM_CLIENT_MACHINE and _NET_WM_PID count, and only when the machine is this host. A connector
// that has ended, or whose pid now names a process that started at another time, leaves the
// connection to a process of ours in its process group or session, if any.
pid_t windowProcess(const std::optional<Connector>& connector,
                    const std::optional<std::string>& machine,
                    std::optional<std::uint32_t> claimedPid, const std::string& host);

} // namespace tovu
