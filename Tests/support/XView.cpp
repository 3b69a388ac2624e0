#include "support/XView.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <xcb/res.h>

namespace tovu::test {
namespace {

struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <class T> using Reply = std::unique_ptr<T, Free>;

} // namespace

xcb_atom_t internAtom(xcb_connection_t* c, const std::string& name) {
    Reply<xcb_intern_atom_reply_t> reply{xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr)};
    return reply ? reply->atom : XCB_NONE;
}

XView::XView(const std::string& display)
    : c_(xcb_connect(display.c_str(), nullptr)) {
    if (xcb_connection_has_error(c_)) {
        xcb_disconnect(c_);
        throw std::runtime_error("cannot connect to " + display);
    }
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    unmapped_ = xcb_generate_id(c_);
    xcb_create_window(c_, 0, unmapped_, root_, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    clientList_ = internAtom(c_, "_NET_CLIENT_LIST");
    activeWindow_ = internAtom(c_, "_NET_ACTIVE_WINDOW");
    wmName_ = internAtom(c_, "_NET_WM_NAME");
}

XView::~XView() {
    xcb_disconnect(c_);
}

std::vector<xcb_window_t> XView::stack() {
    Reply<xcb_query_tree_reply_t> tree{
        xcb_query_tree_reply(c_, xcb_query_tree(c_, root_), nullptr)};
    if (!tree) return {};
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    return {children, children + xcb_query_tree_children_length(tree.get())};
}

std::vector<xcb_window_t> XView::overlayWindows(pid_t pid) {
    std::vector<xcb_window_t> windows;
    for (xcb_window_t window : stack()) {
        Reply<xcb_get_window_attributes_reply_t> attributes{
            xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr)};
        if (attributes && attributes->override_redirect &&
            attributes->map_state == XCB_MAP_STATE_VIEWABLE && pidOf(window) == pid)
            windows.push_back(window);
    }
    return windows;
}

std::vector<Area> XView::overlays(pid_t pid) {
    std::vector<Area> areas;
    for (xcb_window_t window : overlayWindows(pid)) {
        Reply<xcb_get_geometry_reply_t> geometry{
            xcb_get_geometry_reply(c_, xcb_get_geometry(c_, window), nullptr)};
        if (geometry)
            areas.push_back({geometry->x, geometry->y, geometry->width, geometry->height});
    }
    std::ranges::sort(areas);
    return areas;
}

std::vector<xcb_window_t> XView::clients() {
    return property32(root_, clientList_);
}

std::vector<xcb_window_t> XView::managed(pid_t pid) {
    std::vector<xcb_window_t> windows;
    for (xcb_window_t window : clients())
        if (pidOf(window) == pid) windows.push_back(window);
    return windows;
}

std::vector<std::string> XView::managedTitles(pid_t pid) {
    std::vector<std::string> titles;
    for (xcb_window_t window : managed(pid))
        for (xcb_atom_t name : {wmName_, static_cast<xcb_atom_t>(XCB_ATOM_WM_NAME)}) {
            Reply<xcb_get_property_reply_t> reply{xcb_get_property_reply(
                c_, xcb_get_property(c_, 0, window, name, XCB_ATOM_ANY, 0, 16384), nullptr)};
            if (!reply || reply->format != 8 || xcb_get_property_value_length(reply.get()) == 0)
                continue;
            titles.emplace_back(static_cast<const char*>(xcb_get_property_value(reply.get())),
                                xcb_get_property_value_length(reply.get()));
            break;
        }
    return titles;
}

std::optional<pid_t> XView::activePid() {
    auto active = property32(root_, activeWindow_);
    if (active.empty() || active[0] == XCB_NONE) return std::nullopt;
    return pidOf(active[0]);
}

// A grab for a window that does not show is refused as not viewable when the device is free,
// and as already grabbed when another client holds it.
bool XView::keyboardGrabbed() {
    Reply<xcb_grab_keyboard_reply_t> reply{
        xcb_grab_keyboard_reply(c_,
                                xcb_grab_keyboard(c_, 0, unmapped_, XCB_CURRENT_TIME,
                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                nullptr)};
    return reply && reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
}

bool XView::pointerGrabbed() {
    Reply<xcb_grab_pointer_reply_t> reply{xcb_grab_pointer_reply(
        c_,
        xcb_grab_pointer(c_, 0, unmapped_, XCB_EVENT_MASK_BUTTON_PRESS, XCB_GRAB_MODE_ASYNC,
                         XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
        nullptr)};
    return reply && reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
}

pid_t XView::pidOf(xcb_window_t window) {
    xcb_res_client_id_spec_t query{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    Reply<xcb_res_query_client_ids_reply_t> ids{
        xcb_res_query_client_ids_reply(c_, xcb_res_query_client_ids(c_, 1, &query), nullptr)};
    if (!ids) return 0;
    for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem > 0;
         xcb_res_client_id_value_next(&it))
        if (xcb_res_client_id_value_value_length(it.data) > 0)
            return static_cast<pid_t>(*xcb_res_client_id_value_value(it.data));
    return 0;
}

std::vector<std::uint32_t> XView::property32(xcb_window_t window, xcb_atom_t name) {
    Reply<xcb_get_property_reply_t> reply{xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, window, name, XCB_ATOM_ANY, 0, 16384), nullptr)};
    if (!reply || reply->format != 32) return {};
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    return {values, values + xcb_get_property_value_length(reply.get()) / 4};
}

} // namespace tovu::test
