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
