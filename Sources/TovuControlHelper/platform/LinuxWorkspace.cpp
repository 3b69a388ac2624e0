#include "platform/LinuxWorkspace.hpp"

#include "platform/LinuxDesktopEntry.hpp"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/syscall.h>
#include <unistd.h>
#include <xcb/res.h>

namespace tovu {
namespace {

// Structure events tell when a window is destroyed even inside a window manager's frame: the X
// server may give its id to the next client at once.
constexpr std::uint32_t windowEvents =
    XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;

// The real user id of a process, from /proc/PID/status (the directory's owner is root for
// processes that made themselves non-dumpable).
std::optional<uid_t> ownerOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("Uid:")) return static_cast<uid_t>(std::stoul(line.substr(4)));
    }
    return std::nullopt;
}

// When a process started, in clock ticks since boot: with its pid, it names one process for good.
std::optional<std::uint64_t> startOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat{std::istreambuf_iterator<char>(in), {}};
    // The command name before it may hold spaces and parentheses.
    const auto name = stat.rfind(')');
    if (name == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(name + 1));
    std::string skipped;
    for (int field = 3; field < 22; ++field)
        fields >> skipped;
    std::uint64_t start = 0;
    if (fields >> start) return start;
    return std::nullopt;
}

std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

xcb_atom_t intern(xcb_connection_t* c, const std::string& name) {
    XcbReply<xcb_intern_atom_reply_t> reply{xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr)};
    return reply ? reply->atom : XCB_NONE;
}

std::optional<std::string> firstText(const xcb_get_property_reply_t* reply) {
    for (auto& text : texts(reply))
        if (!text.empty()) return text;
    return std::nullopt;
}

} // namespace

LinuxWorkspace::LinuxWorkspace() {
    if (!x_.ok()) return;
    xcb_connection_t* c = x_.get();
    if (!xcb_ewmh_init_atoms_replies(&ewmh_, xcb_ewmh_init_atoms(c, &ewmh_), nullptr)) return;
    ready_ = true;
    const xcb_query_extension_reply_t* res = xcb_get_extension_data(c, &xcb_res_id);
    hasRes_ = res && res->present;
    gtkApplicationId_ = intern(c, "_GTK_APPLICATION_ID");
    kdeDesktopFile_ = intern(c, "_KDE_NET_WM_DESKTOP_FILE");
    host_ = hostName();
    x_.select(x_.root(), XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
                             XCB_EVENT_MASK_FOCUS_CHANGE);
    x_.setHandler([this](const xcb_generic_event_t& event) { handle(event); });
    rescan();
    apps_ = collect();
    front_ = frontPid();
}

LinuxWorkspace::~LinuxWorkspace() {
    if (ready_) xcb_ewmh_connection_wipe(&ewmh_);
}

std::vector<RunningApp> LinuxWorkspace::runningApps() const {
    std::vector<RunningApp> apps;
    for (const auto& [pid, app] : apps_)
        apps.push_back(app);
    return apps;
}

std::optional<RunningApp> LinuxWorkspace::frontmostApp() const {
    if (!front_) return std::nullopt;
    return apps_.at(*front_);
}

void LinuxWorkspace::forceTerminate(const RunningApp& app) {
    if (app.pid <= 0 || !apps_.contains(app.pid)) return;
    // Until the end of its windows is heard, an app's pid may have ended and been reused: only
    // the process that was seen showing them is signalled. The handle, taken before the check,
    // still names that process if the pid changes hands after it.
    const int process = static_cast<int>(syscall(SYS_pidfd_open, app.pid, 0));
    if (process < 0) return;
    const auto started = startOf(app.pid);
    if (started && std::ranges::any_of(windows_, [&](const auto& entry) {
            return entry.second.pid == app.pid && entry.second.started == started;
        }))
        syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0);
    close(process);
}

void LinuxWorkspace::handle(const xcb_generic_event_t& event) {
    const xcb_window_t root = x_.root();
    switch (event.response_type & 0x7f) {
    case XCB_PROPERTY_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_property_notify_event_t&>(event);
        if (e.atom == ewmh_._NET_SUPPORTING_WM_CHECK &&
            (e.window == root || e.window == wmCheck_)) {
            rescan();
        } else if (e.window == root) {
            if (!wm_ || (e.atom != ewmh_._NET_CLIENT_LIST && e.atom != ewmh_._NET_ACTIVE_WINDOW))
                return;
            if (e.atom == ewmh_._NET_CLIENT_LIST)
                readClientList();
            else
                readFront();
        } else {
            auto it = windows_.find(e.window);
            const xcb_atom_t described[] = {XCB_ATOM_WM_CLASS,   XCB_ATOM_WM_CLIENT_MACHINE,
                                            ewmh_._NET_WM_PID,   ewmh_._NET_WM_WINDOW_TYPE,
                                            ewmh_._NET_WM_STATE, gtkApplicationId_,
                                            kdeDesktopFile_};
            if (it == windows_.end() || std::ranges::find(described, e.atom) == std::end(described))
                return;
            refresh(e.window);
        }
        break;
    }
    case XCB_MAP_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_map_notify_event_t&>(event);
        // With a window manager, managed windows come through its client list instead.
        if (e.event != root || (wm_ && !e.override_redirect)) return;
        track(e.window);
        break;
    }
    case XCB_DESTROY_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_destroy_notify_event_t&>(event);
        if (e.event == root && e.window == wmCheck_) {
            rescan();
            break;
        }
        if (windows_.erase(e.window) == 0) return;
        break;
    }
    case XCB_UNMAP_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_unmap_notify_event_t&>(event);
        if (e.event != root) return;
        auto it = windows_.find(e.window);
        if (it == windows_.end() || (wm_ && !it->second.overrideRedirect)) return;
        windows_.erase(it);
        break;
    }
    case XCB_CONFIGURE_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
        auto it = windows_.find(e.window);
        if (e.event != root || it == windows_.end() || !it->second.overrideRedirect) return;
        auto border = static_cast<std::uint16_t>(2 * e.border_width);
        it->second.area = {e.x, e.y, static_cast<std::uint16_t>(e.width + border),
                           static_cast<std::uint16_t>(e.height + border)};
        break;
    }
    case XCB_FOCUS_IN:
        if (wm_) return;
        readFront();
        break;
    default:
        return;
    }
    publish();
}

void LinuxWorkspace::rescan() {
    xcb_connection_t* c = x_.get();
    const xcb_window_t root = x_.root();

    // A window manager names a check window that names itself; a stale property after a crash
    // does not. A manager that is starting may name itself there a moment later: listen.
    wm_ = false;
    auto check =
        values32(propertyReply(c, askProperty(c, root, ewmh_._NET_SUPPORTING_WM_CHECK)).get());
    wmCheck_ = check.empty() ? XCB_NONE : check[0];
    if (wmCheck_ != XCB_NONE) {
        x_.select(wmCheck_, XCB_EVENT_MASK_PROPERTY_CHANGE);
        auto self = values32(
            propertyReply(c, askProperty(c, wmCheck_, ewmh_._NET_SUPPORTING_WM_CHECK)).get());
        wm_ = !self.empty() && self[0] == wmCheck_;
    }

    windows_.clear();
    XcbReply<xcb_query_tree_reply_t> tree{
        xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr)};
    if (tree) {
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        const int count = xcb_query_tree_children_length(tree.get());
        std::vector<xcb_get_window_attributes_cookie_t> cookies;
        for (int i = 0; i < count; ++i)
            cookies.push_back(xcb_get_window_attributes(c, children[i]));
        for (int i = 0; i < count; ++i) {
            XcbReply<xcb_get_window_attributes_reply_t> attributes{
                xcb_get_window_attributes_reply(c, cookies[static_cast<std::size_t>(i)], nullptr)};
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                (attributes->override_redirect || !wm_))
                track(children[i]);
        }
    }
    if (wm_) readClientList();
    readFront();
}

void LinuxWorkspace::readClientList() {
    xcb_connection_t* c = x_.get();
    auto list = values32(propertyReply(c, askProperty(c, x_.root(), ewmh_._NET_CLIENT_LIST)).get());
    std::set<xcb_window_t> clients(list.begin(), list.end());
    std::erase_if(windows_, [&](const auto& entry) {
        return !entry.second.overrideRedirect && !clients.contains(entry.first);
    });
    for (xcb_window_t window : list)
        if (!windows_.contains(window)) track(window);
}

void LinuxWorkspace::readFront() {
    xcb_connection_t* c = x_.get();
    const xcb_window_t root = x_.root();
    if (wm_) {
        auto active =
            values32(propertyReply(c, askProperty(c, root, ewmh_._NET_ACTIVE_WINDOW)).get());
        frontWindow_ = active.empty() ? XCB_NONE : active[0];
        return;
    }
    // The focus may sit in a subwindow: the app is that of its top-level window.
    XcbReply<xcb_get_input_focus_reply_t> focus{
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)};
    xcb_window_t window = focus ? focus->focus : XCB_NONE;
    while (window != XCB_NONE && window != XCB_INPUT_FOCUS_POINTER_ROOT && window != root) {
        XcbReply<xcb_query_tree_reply_t> tree{
            xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr)};
        if (!tree)
            window = XCB_NONE;
        else if (tree->parent == root)
            break;
        else
            window = tree->parent;
    }
    frontWindow_ = window == XCB_INPUT_FOCUS_POINTER_ROOT || window == root ? XCB_NONE : window;
}

void LinuxWorkspace::track(xcb_window_t window) {
    x_.select(window, windowEvents);
    refresh(window);
}

void LinuxWorkspace::refresh(xcb_window_t window) {
    if (auto examined = examine(window))
        windows_[window] = std::move(*examined);
    else
        windows_.erase(window);
}

std::optional<LinuxWorkspace::Window> LinuxWorkspace::examine(xcb_window_t window) const {
    xcb_connection_t* c = x_.get();
    // All questions go out before the first answer is awaited: one round trip per window.
    auto attributesCookie = xcb_get_window_attributes(c, window);
    auto geometryCookie = xcb_get_geometry(c, window);
    auto machineCookie = askProperty(c, window, XCB_ATOM_WM_CLIENT_MACHINE);
    auto netPidCookie = askProperty(c, window, ewmh_._NET_WM_PID);
    auto classCookie = askProperty(c, window, XCB_ATOM_WM_CLASS);
    auto gtkCookie = askProperty(c, window, gtkApplicationId_);
    auto kdeCookie = askProperty(c, window, kdeDesktopFile_);
    auto typeCookie = askProperty(c, window, ewmh_._NET_WM_WINDOW_TYPE);
    auto stateCookie = askProperty(c, window, ewmh_._NET_WM_STATE);
    xcb_res_client_id_spec_t client{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    std::optional<xcb_res_query_client_ids_cookie_t> resCookie;
    if (hasRes_) resCookie = xcb_res_query_client_ids(c, 1, &client);

    Window w;
    XcbReply<xcb_get_window_attributes_reply_t> attributes{
        xcb_get_window_attributes_reply(c, attributesCookie, nullptr)};
    // Without our selection the window selected has gone, perhaps leaving its id to a new one:
    // the events of its end, and of the new one's coming, are on their way.
    const bool selected =
        attributes && (attributes->your_event_mask & XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    if (attributes) w.overrideRedirect = attributes->override_redirect;
    if (XcbReply<xcb_get_geometry_reply_t> geometry{
            xcb_get_geometry_reply(c, geometryCookie, nullptr)}) {
        auto border = static_cast<std::uint16_t>(2 * geometry->border_width);
        w.area = {geometry->x, geometry->y, static_cast<std::uint16_t>(geometry->width + border),
                  static_cast<std::uint16_t>(geometry->height + border)};
    }

    std::optional<std::uint32_t> serverPid;
    if (resCookie) {
        XcbReply<xcb_res_query_client_ids_reply_t> ids{
            xcb_res_query_client_ids_reply(c, *resCookie, nullptr)};
        if (ids) {
            for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem > 0;
                 xcb_res_client_id_value_next(&it)) {
                const auto& [client, length] = *it.data;
                if ((client.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) &&
                    length >= sizeof(std::uint32_t))
                    serverPid = *xcb_res_client_id_value_value(it.data);
            }
        }
    }
    auto netPid = values32(propertyReply(c, netPidCookie).get());
    w.pid = windowProcess(serverPid, firstText(propertyReply(c, machineCookie).get()),
                          netPid.empty() ? std::nullopt : std::optional(netPid[0]), host_);
    if (w.pid != 0) w.started = startOf(w.pid);

    auto classes = texts(propertyReply(c, classCookie).get());
    std::optional<std::string> windowClass;
    if (classes.size() >= 2 && !classes[1].empty()) windowClass = classes[1];
    std::optional<std::string> desktopId = firstText(propertyReply(c, gtkCookie).get());
    auto kde = firstText(propertyReply(c, kdeCookie).get());
    if (!desktopId && kde) {
        desktopId = kde->substr(kde->rfind('/') + 1);
        if (desktopId->ends_with(".desktop")) desktopId->erase(desktopId->size() - 8);
    }
    if (desktopId && !desktopId->empty()) {
        w.identifier = desktopId;
        w.name = desktopName(*desktopId);
        if (!w.name) w.name = windowClass;
    } else {
        w.identifier = windowClass;
        w.name = windowClass;
    }

    // The first type this list knows decides, as for a window manager; none means normal.
    const xcb_atom_t known[] = {
        ewmh_._NET_WM_WINDOW_TYPE_DESKTOP,      ewmh_._NET_WM_WINDOW_TYPE_DOCK,
        ewmh_._NET_WM_WINDOW_TYPE_TOOLBAR,      ewmh_._NET_WM_WINDOW_TYPE_MENU,
        ewmh_._NET_WM_WINDOW_TYPE_UTILITY,      ewmh_._NET_WM_WINDOW_TYPE_SPLASH,
        ewmh_._NET_WM_WINDOW_TYPE_DIALOG,       ewmh_._NET_WM_WINDOW_TYPE_DROPDOWN_MENU,
        ewmh_._NET_WM_WINDOW_TYPE_POPUP_MENU,   ewmh_._NET_WM_WINDOW_TYPE_TOOLTIP,
        ewmh_._NET_WM_WINDOW_TYPE_NOTIFICATION, ewmh_._NET_WM_WINDOW_TYPE_COMBO,
        ewmh_._NET_WM_WINDOW_TYPE_DND,          ewmh_._NET_WM_WINDOW_TYPE_NORMAL};
    auto types = values32(propertyReply(c, typeCookie).get());
    auto type = std::ranges::find_first_of(types, known);
    bool normal = type == types.end() || *type == ewmh_._NET_WM_WINDOW_TYPE_NORMAL ||
                  *type == ewmh_._NET_WM_WINDOW_TYPE_DIALOG;
    auto states = values32(propertyReply(c, stateCookie).get());
    w.ordinary =
        normal && std::ranges::find(states, ewmh_._NET_WM_STATE_SKIP_TASKBAR) == states.end();
    if (!selected) return std::nullopt;
    return w;
}

std::optional<std::string> LinuxWorkspace::desktopName(const std::string& id) const {
    auto it = desktopNames_.find(id);
    if (it == desktopNames_.end()) it = desktopNames_.emplace(id, desktopEntryName(id)).first;
    return it->second;
}

bool LinuxWorkspace::makesRegular(const Window& window) const {
    if (!window.overrideRedirect) return window.ordinary;
    // A window that bypasses the window manager counts when it covers more than a quarter of
    // the screen, so that an app cannot pass for a menu or a tooltip.
    const std::int64_t width = x_.width(), height = x_.height();
    const auto& a = window.area;
    std::int64_t left = std::max<std::int64_t>(a.x, 0), top = std::max<std::int64_t>(a.y, 0);
    std::int64_t right = std::min<std::int64_t>(a.x + a.width, width);
    std::int64_t bottom = std::min<std::int64_t>(a.y + a.height, height);
    std::int64_t covered =
        std::max<std::int64_t>(right - left, 0) * std::max<std::int64_t>(bottom - top, 0);
    return 4 * covered > width * height;
}

std::map<pid_t, RunningApp> LinuxWorkspace::collect() const {
    std::map<pid_t, RunningApp> apps;
    for (const auto& [id, window] : windows_) {
        if (window.pid == 0) continue;
        RunningApp& app = apps[window.pid];
        app.pid = window.pid;
        if (!app.identifier && window.identifier) {
            app.identifier = window.identifier;
            app.name = window.name;
        }
        app.regular = app.regular || makesRegular(window);
    }
    return apps;
}

std::optional<pid_t> LinuxWorkspace::frontPid() const {
    auto it = windows_.find(frontWindow_);
    if (frontWindow_ == XCB_NONE || it == windows_.end() || it->second.pid == 0)
        return std::nullopt;
    return it->second.pid;
}

void LinuxWorkspace::publish() {
    auto apps = collect();
    std::vector<RunningApp> launched;
    for (const auto& [pid, app] : apps) {
        auto old = apps_.find(pid);
        if (old == apps_.end() || (app.regular && !old->second.regular)) launched.push_back(app);
    }
    apps_ = std::move(apps);
    auto front = frontPid();
    const bool moved = front != front_;
    std::optional<RunningApp> inFront;
    if (front) inFront = apps_.at(*front);
    front_ = front;
    // Receivers may ask for the state again: it is complete before the first signal.
    for (const auto& app : launched)
        emit this->launched(app);
    if (!moved) return;
    if (inFront)
        emit activated(*inFront);
    else
        emit deactivated();
}

pid_t windowProcess(std::optional<std::uint32_t> serverPid,
                    const std::optional<std::string>& machine,
                    std::optional<std::uint32_t> claimedPid, const std::string& host) {
    std::uint32_t pid = 0;
    if (serverPid) pid = *serverPid;
    if (pid == 0 && machine == host && claimedPid) pid = *claimedPid;
    if (pid > 0 && pid <= INT32_MAX && ownerOf(static_cast<pid_t>(pid)) == getuid())
        return static_cast<pid_t>(pid);
    return 0;
}

std::unique_ptr<Workspace> makeWorkspace() {
    return std::make_unique<LinuxWorkspace>();
}

} // namespace tovu
