#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>
#include <xcb/xcb.h>

namespace tovu::test {

// A rectangle of the root window.
struct Area {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

xcb_atom_t internAtom(xcb_connection_t* c, const std::string& name);

// What an X server says about windows, asked on a connection of the caller's own. Processes
// come from the server (X-Resource), which knows them whether or not a client names itself.
class XView {
public:
    explicit XView(const std::string& display);
    ~XView();
    XView(const XView&) = delete;
    XView& operator=(const XView&) = delete;

    xcb_connection_t* connection() const { return c_; }
    xcb_window_t root() const { return root_; }

    // The children of the root, bottom first.
    std::vector<xcb_window_t> stack();
    // The windows that the window manager manages: all of them, those of pid, and their titles.
    std::vector<xcb_window_t> clients();
    std::vector<xcb_window_t> managed(pid_t pid);
    std::vector<std::string> managedTitles(pid_t pid);
    std::optional<pid_t> activePid();
    // The process of the client that made the window; 0 when the server cannot tell.
    pid_t pidOf(xcb_window_t window);

private:
    std::vector<std::uint32_t> property32(xcb_window_t window, xcb_atom_t name);

    xcb_connection_t* c_;
    xcb_window_t root_ = XCB_NONE;
    xcb_atom_t wmName_ = XCB_NONE;
    xcb_atom_t clientList_ = XCB_NONE;
    xcb_atom_t activeWindow_ = XCB_NONE;
};

} // namespace tovu::test
