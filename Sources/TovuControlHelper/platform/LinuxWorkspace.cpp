#include "platform/LinuxWorkspace.hpp"

#include "TovuCore/Paths.hpp"
#include "platform/WaylandWorkspace.hpp"

#include <QGuiApplication>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <xcb/randr.h>
#include <xcb/res.h>

namespace tovu {
namespace {

// Structure events tell when a window is destroyed even inside a window manager's frame: the X
// server may give its id to the next client at once. Substructure events show the windows that
// other clients put inside.
constexpr std::uint32_t windowEvents =
    XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
    XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
// Smaller windows show nothing to play with.
constexpr int realSide = 8;
// Windows followed inside one top-level window, at most.
constexpr std::size_t insideLimit = 512;
// Windows examined in one settling: a flood of new windows takes several turns of the event loop.
constexpr std::size_t batchLimit = 256;
// Text properties are read up to this many 32-bit units: names and ids, never more.
constexpr std::uint32_t textLimit = 256;
// How often the connections and the processes behind windows are looked at: the time a process
// that ends leaves its connection to another before the windows are judged again, and the time
// a connection's process has to end and see its pid reused before the agent knows it.
constexpr std::chrono::seconds processCheckInterval{1};

template <class T> std::optional<T> number(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    return value;
}

// The real user id of a process, from /proc/PID/status (the directory's owner is root for
// processes that made themselves non-dumpable); none once it has gone.
std::optional<uid_t> ownerOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("Uid:")) continue;
        const auto digits = line.find_first_of("0123456789");
        return digits == std::string::npos ? std::nullopt
                                           : number<uid_t>(std::string_view(line).substr(digits));
    }
    return std::nullopt;
}

// What /proc/PID/stat tells of a process.
struct ProcessStat {
    char state = 0;
    pid_t group = 0;
    pid_t session = 0;
    // In clock ticks since boot: with its pid, it names one process for good.
    std::uint64_t started = 0;
};

std::optional<ProcessStat> statOf(pid_t pid) {
    // Unreadable (not thrown) when the process ends during the read.
    const std::string stat =
        FileIO::readText("/proc/" + std::to_string(pid) + "/stat").value_or("");
    // The command name before the fields may hold spaces and parentheses.
    const auto name = stat.rfind(')');
    if (name == std::string::npos) return std::nullopt;
    // Fields 3 (state), 4 (parent), 5 (group), 6 (session) ... 22 (start).
    std::istringstream fields(stat.substr(name + 1));
    ProcessStat s;
    std::string skip;
    fields >> s.state >> skip >> s.group >> s.session;
    for (int field = 7; field < 22; ++field)
        fields >> skip;
    fields >> s.started;
    if (!fields) return std::nullopt;
    return s;
}

// The live process of this user left holding the X connection of a process that has ended: one
// in its process group or session (the lowest such pid). While a process is in them, the ended
// one's pid cannot be given to another.
pid_t heirOf(pid_t ended) {
    std::error_code ec;
    std::optional<pid_t> found;
    for (auto it = std::filesystem::directory_iterator("/proc", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const auto pid = number<pid_t>(it->path().filename().string());
        if (!pid || *pid == ended || (found && *pid >= *found)) continue;
        const auto s = statOf(*pid);
        if (s && (s->group == ended || s->session == ended) && liveStart(*pid) &&
            ownerOf(*pid) == getuid())
            found = pid;
    }
    return found.value_or(0);
}

// The processes that the X server names for its clients: client id bits → pid.
std::map<std::uint32_t, std::uint32_t> clientPids(const xcb_res_query_client_ids_reply_t* reply) {
    std::map<std::uint32_t, std::uint32_t> pids;
    if (!reply) return pids;
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply); it.rem > 0;
         xcb_res_client_id_value_next(&it)) {
        const auto& [client, length] = *it.data;
        if ((client.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) &&
            length >= sizeof(std::uint32_t))
            pids[client.client] = *xcb_res_client_id_value_value(it.data);
    }
    return pids;
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

std::int64_t overlap(const xcb_rectangle_t& a, const xcb_rectangle_t& b) {
    const std::int64_t left = std::max<std::int64_t>(a.x, b.x),
                       top = std::max<std::int64_t>(a.y, b.y);
    const std::int64_t right = std::min<std::int64_t>(a.x + a.width, b.x + b.width);
    const std::int64_t bottom = std::min<std::int64_t>(a.y + a.height, b.y + b.height);
    return std::max<std::int64_t>(right - left, 0) * std::max<std::int64_t>(bottom - top, 0);
}

} // namespace

// Per-process facts learnt once per batch of windows: a flood of windows of one process costs
// one look at /proc.
struct LinuxWorkspace::Batch {
    struct Process {
        AppIdentity identity;
        std::optional<std::uint64_t> started;
    };
    std::map<Connector, pid_t> holders;
    std::map<pid_t, Process> processes;
};

struct LinuxWorkspace::Questions {
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_geometry_cookie_t geometry;
    xcb_get_property_cookie_t machine, netPid, windowClass, gtk, kde;
    std::optional<xcb_res_query_client_ids_cookie_t> res;
};

void LinuxWorkspace::WindowQueue::push(xcb_window_t window, xcb_window_t top) {
    if (waiting_.emplace(window, top).second) order_.push_back(window);
}

void LinuxWorkspace::WindowQueue::clear() {
    waiting_.clear();
    order_.clear();
}

std::vector<std::pair<xcb_window_t, xcb_window_t>>
LinuxWorkspace::WindowQueue::take(std::size_t n) {
    std::vector<std::pair<xcb_window_t, xcb_window_t>> taken;
    while (!order_.empty() && taken.size() < n) {
        if (auto it = waiting_.find(order_.front()); it != waiting_.end()) {
            taken.emplace_back(*it);
            waiting_.erase(it);
        }
        order_.pop_front();
    }
    if (waiting_.empty()) order_.clear();
    return taken;
}

LinuxWorkspace::LinuxWorkspace(AppCatalog catalog)
    : catalog_(std::move(catalog)) {
    if (!x_.ok()) return;
    xcb_connection_t* c = x_.get();
    if (!xcb_ewmh_init_atoms_replies(&ewmh_, xcb_ewmh_init_atoms(c, &ewmh_), nullptr)) return;
    ready_ = true;
    const xcb_query_extension_reply_t* res = xcb_get_extension_data(c, &xcb_res_id);
    hasRes_ = res && res->present;
    gtkApplicationId_ = intern(c, "_GTK_APPLICATION_ID");
    kdeDesktopFile_ = intern(c, "_KDE_NET_WM_DESKTOP_FILE");
    host_ = hostName();
    if (const auto* randr = xcb_get_extension_data(c, &xcb_randr_id); randr && randr->present) {
        XcbReply<xcb_randr_query_version_reply_t> version{
            xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr)};
        if (version && (version->major_version > 1 || version->minor_version >= 5)) {
            randrEvent_ = randr->first_event;
            xcb_randr_select_input(c, x_.root(),
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE);
        }
    }
    readMonitors();
    x_.select(x_.root(), XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
                             XCB_EVENT_MASK_FOCUS_CHANGE);
    x_.setHandler([this](const xcb_generic_event_t& event) { handle(event); });
    x_.setSettle([this] { return settle(); });
    // No event tells when a process ends or a client connects.
    processCheck_.callOnTimeout([this] {
        checkProcesses_ = true;
        x_.wake();
    });
    processCheck_.start(processCheckInterval);
    // The apps already running are there from the start, none of them announced.
    rescan_ = true;
    checkProcesses_ = true;
    while (settle()) {
    }
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
    auto it = apps_.find(*front_);
    if (it == apps_.end()) return std::nullopt;
    return it->second;
}

void LinuxWorkspace::forceTerminate(const RunningApp& app) {
    if (app.pid == 0 || !apps_.contains(app.pid)) return;
    if (app.pid > 0) {
        // Until the end of its windows is heard, an app's pid may have ended and been reused:
        // only the process that was seen showing them is signalled. The handle, taken before
        // the check, still names that process if the pid changes hands after it.
        const int process = static_cast<int>(syscall(SYS_pidfd_open, app.pid, 0));
        const auto started = liveStart(app.pid);
        if (process >= 0 && started && std::ranges::any_of(windows_, [&](const auto& entry) {
                return entry.second.pid == app.pid && entry.second.started == started;
            }))
            syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0);
        if (process >= 0) close(process);
    }
    // Its connections end too, whoever holds them now: a process it forked may, and a process
    // that has gone leaves only its connection, which the server drops with its windows.
    const std::uint32_t clientBits = ~xcb_get_setup(x_.get())->resource_id_mask;
    std::set<std::uint32_t> ended;
    for (const auto& [window, w] : windows_)
        if (w.pid == app.pid && ended.insert(window & clientBits).second)
            xcb_kill_client(x_.get(), window);
    xcb_flush(x_.get());
}

void LinuxWorkspace::handle(const xcb_generic_event_t& event) {
    const xcb_window_t root = x_.root();
    const std::uint8_t type = event.response_type & 0x7f;
    if (randrEvent_ != 0 && (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                             type == randrEvent_ + XCB_RANDR_NOTIFY)) {
        readMonitors_ = true;
        return;
    }
    // The top-level window that a window inside one belongs to.
    auto topOf = [&](xcb_window_t window) -> std::optional<xcb_window_t> {
        if (auto it = windows_.find(window); it != windows_.end())
            return it->second.inside != XCB_NONE ? it->second.inside : window;
        if (auto it = within_.find(window); it != within_.end()) return it->second;
        return std::nullopt;
    };
    switch (type) {
    case XCB_PROPERTY_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_property_notify_event_t&>(event);
        if (e.atom == ewmh_._NET_SUPPORTING_WM_CHECK &&
            (e.window == root || e.window == wmCheck_)) {
            rescan_ = true;
        } else if (e.window == root) {
            if (!wm_) return;
            if (e.atom == ewmh_._NET_CLIENT_LIST) readClientList_ = true;
            if (e.atom == ewmh_._NET_ACTIVE_WINDOW) readFront_ = true;
        } else {
            const xcb_atom_t described[] = {XCB_ATOM_WM_CLASS, XCB_ATOM_WM_CLIENT_MACHINE,
                                            ewmh_._NET_WM_PID, gtkApplicationId_, kdeDesktopFile_};
            const auto it = windows_.find(e.window);
            if (it != windows_.end() && std::ranges::find(described, e.atom) != std::end(described))
                examining_.push(e.window, it->second.inside);
        }
        return;
    }
    case XCB_MAP_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_map_notify_event_t&>(event);
        if (e.event != root) {
            // Something was mapped inside a followed window (its own mapping is no news).
            const auto top = topOf(e.event);
            if (top && e.event != e.window) looking_.push(*top, *top);
            return;
        }
        // With a window manager, managed windows come through its client list instead.
        if (wm_ && !e.override_redirect) return;
        if (auto it = windows_.find(e.window); it != windows_.end()) {
            it->second.shown = true;
            it->second.overrideRedirect = e.override_redirect;
            changed_ = true;
        } else {
            examining_.push(e.window, XCB_NONE);
        }
        return;
    }
    case XCB_REPARENT_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_reparent_notify_event_t&>(event);
        const auto top = topOf(e.parent);
        if (e.event != root && top) looking_.push(*top, *top);
        return;
    }
    case XCB_DESTROY_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_destroy_notify_event_t&>(event);
        if (e.event == root && e.window == wmCheck_) rescan_ = true;
        examining_.erase(e.window);
        looking_.erase(e.window);
        if (auto it = within_.find(e.window); it != within_.end()) {
            nested_[it->second].erase(e.window);
            within_.erase(it);
        }
        if (windows_.contains(e.window)) forget(e.window);
        return;
    }
    case XCB_UNMAP_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_unmap_notify_event_t&>(event);
        auto it = windows_.find(e.window);
        if (it == windows_.end()) {
            // Gone before it was looked at: it is looked at when it comes back.
            if (e.event == root) examining_.erase(e.window);
            return;
        }
        Window& w = it->second;
        if (w.inside != XCB_NONE) {
            if (e.event == e.window) forget(e.window);
        } else if (e.event == root && (!wm_ || w.overrideRedirect)) {
            w.shown = false;
            changed_ = true;
        }
        return;
    }
    case XCB_CONFIGURE_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
        auto it = windows_.find(e.window);
        if (it == windows_.end() || e.event != e.window) return;
        auto border = static_cast<std::uint16_t>(2 * e.border_width);
        // A managed window's place is inside its frame; only its size counts then.
        it->second.area = {e.x, e.y, static_cast<std::uint16_t>(e.width + border),
                           static_cast<std::uint16_t>(e.height + border)};
        changed_ = true;
        return;
    }
    case XCB_FOCUS_IN:
        if (!wm_) readFront_ = true;
        return;
    default:
        return;
    }
}

bool LinuxWorkspace::settle() {
    if (std::exchange(rescan_, false)) rescan();
    if (std::exchange(readMonitors_, false)) {
        readMonitors();
        changed_ = true;
    }
    // All that this turn needs from the server is asked before the first answer is awaited:
    // one round trip, however busy the server is with others.
    xcb_connection_t* c = x_.get();
    std::optional<xcb_get_property_cookie_t> list, active;
    if (wm_ && std::exchange(readClientList_, false))
        list = askProperty(c, x_.root(), ewmh_._NET_CLIENT_LIST);
    if (wm_ && std::exchange(readFront_, false))
        active = askProperty(c, x_.root(), ewmh_._NET_ACTIVE_WINDOW);
    std::optional<xcb_res_query_client_ids_cookie_t> clients;
    const bool check = std::exchange(checkProcesses_, false);
    if (check && hasRes_) {
        const xcb_res_client_id_spec_t everyone{XCB_NONE, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        clients = xcb_res_query_client_ids(c, 1, &everyone);
    }
    const auto examined = examining_.take(batchLimit);
    std::vector<Questions> questions;
    for (const auto& [window, inside] : examined)
        questions.push_back(ask(window));
    const auto looked = looking_.take(batchLimit);
    std::vector<xcb_query_tree_cookie_t> trees;
    for (const auto& [window, top] : looked)
        trees.push_back(xcb_query_tree(c, window));

    if (list) useClientList(values32(propertyReply(c, *list).get()));
    if (check) {
        XcbReply<xcb_res_query_client_ids_reply_t> everyone;
        if (clients) everyone.reset(xcb_res_query_client_ids_reply(c, *clients, nullptr));
        checkProcesses(everyone.get());
    }
    if (active) {
        const auto front = values32(propertyReply(c, *active).get());
        frontWindow_ = front.empty() ? XCB_NONE : front[0];
        changed_ = true;
    }
    Batch batch;
    for (std::size_t i = 0; i < examined.size(); ++i)
        examine(examined[i].first, examined[i].second, questions[i], batch);
    for (std::size_t i = 0; i < looked.size(); ++i)
        lookInside(
            looked[i].second,
            XcbReply<xcb_query_tree_reply_t>{xcb_query_tree_reply(c, trees[i], nullptr)}.get());
    // Without a window manager, following the focus up takes a question per level; focus
    // changes are few.
    if (std::exchange(readFront_, false)) readFront();
    if (std::exchange(changed_, false)) publish();
    return !examining_.empty() || !looking_.empty();
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
    within_.clear();
    nested_.clear();
    clients_.clear();
    examining_.clear();
    looking_.clear();
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
                examining_.push(children[i], XCB_NONE);
        }
    }
    if (wm_)
        useClientList(
            values32(propertyReply(c, askProperty(c, root, ewmh_._NET_CLIENT_LIST)).get()));
    readFront();
    changed_ = true;
}

void LinuxWorkspace::useClientList(const std::vector<std::uint32_t>& list) {
    clients_ = std::set<xcb_window_t>(list.begin(), list.end());
    for (auto& [window, w] : windows_)
        if (w.inside == XCB_NONE && !w.overrideRedirect && w.shown != clients_.contains(window)) {
            w.shown = !w.shown;
            changed_ = true;
        }
    for (xcb_window_t window : list) {
        auto it = windows_.find(window);
        if (it == windows_.end()) {
            examining_.push(window, XCB_NONE);
        } else if (it->second.overrideRedirect) {
            // Mapped again without bypassing the manager.
            it->second.overrideRedirect = false;
            it->second.shown = true;
            changed_ = true;
        }
    }
}

void LinuxWorkspace::readFront() {
    xcb_connection_t* c = x_.get();
    const xcb_window_t root = x_.root();
    changed_ = true;
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

void LinuxWorkspace::forget(xcb_window_t window) {
    windows_.erase(window);
    auto nested = nested_.find(window);
    if (nested == nested_.end()) return;
    for (xcb_window_t inner : nested->second) {
        if (auto it = within_.find(inner); it != within_.end() && it->second == window)
            within_.erase(it);
        if (auto it = windows_.find(inner); it != windows_.end() && it->second.inside == window)
            windows_.erase(it);
    }
    nested_.erase(nested);
    changed_ = true;
}

void LinuxWorkspace::lookInside(xcb_window_t top, const xcb_query_tree_reply_t* tree) {
    if (!tree || !windows_.contains(top)) return;
    // A window id's client bits name the client that made it.
    const std::uint32_t clientBits = ~xcb_get_setup(x_.get())->resource_id_mask;
    std::set<xcb_window_t>& nested = nested_[top];
    const xcb_window_t* children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
        const xcb_window_t window = children[i];
        if (!nested.contains(window)) {
            if (nested.size() >= insideLimit || !within_.emplace(window, top).second) continue;
            nested.insert(window);
            x_.selectLater(window, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
        }
        looking_.push(window, top);
        if ((window & clientBits) != (top & clientBits) && !windows_.contains(window))
            examining_.push(window, top);
    }
}

Connector LinuxWorkspace::connector(std::uint32_t client, std::uint32_t pid) {
    Connector& known = connectors_[client];
    // A client that left gives its id bits to the next; the same process may connect again.
    if (known.pid != pid) known = {pid, liveStart(static_cast<pid_t>(pid))};
    return known;
}

void LinuxWorkspace::checkProcesses(const xcb_res_query_client_ids_reply_t* clients) {
    if (clients) {
        std::map<std::uint32_t, Connector> now;
        for (const auto& [client, pid] : clientPids(clients))
            if (pid != 0) now[client] = connector(client, pid);
        connectors_ = std::move(now);
    }
    std::map<pid_t, std::optional<std::uint64_t>> started;
    for (const auto& [window, w] : windows_) {
        if (w.pid <= 0 || w.pid == getpid()) continue;
        auto [known, fresh] = started.try_emplace(w.pid);
        if (fresh) known->second = liveStart(w.pid);
        if (known->second != w.started) examining_.push(window, w.inside);
    }
}

LinuxWorkspace::Questions LinuxWorkspace::ask(xcb_window_t window) {
    xcb_connection_t* c = x_.get();
    auto text = [&](xcb_atom_t atom) {
        return xcb_get_property(c, 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, textLimit);
    };
    if (!windows_.contains(window)) x_.selectLater(window, windowEvents);
    Questions q{xcb_get_window_attributes(c, window),
                xcb_get_geometry(c, window),
                text(XCB_ATOM_WM_CLIENT_MACHINE),
                askProperty(c, window, ewmh_._NET_WM_PID),
                text(XCB_ATOM_WM_CLASS),
                text(gtkApplicationId_),
                text(kdeDesktopFile_),
                std::nullopt};
    xcb_res_client_id_spec_t client{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    if (hasRes_) q.res = xcb_res_query_client_ids(c, 1, &client);
    return q;
}

void LinuxWorkspace::examine(xcb_window_t window, xcb_window_t inside, Questions& q, Batch& batch) {
    xcb_connection_t* c = x_.get();
    Window w;
    w.inside = inside;
    XcbReply<xcb_get_window_attributes_reply_t> attributes{
        xcb_get_window_attributes_reply(c, q.attributes, nullptr)};
    // Without our selection the window selected has gone, perhaps leaving its id to a new one:
    // the events of its end, and of the new one's coming, are on their way.
    const bool selected =
        attributes && (attributes->your_event_mask & XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    if (attributes) w.overrideRedirect = attributes->override_redirect;
    if (XcbReply<xcb_get_geometry_reply_t> geometry{
            xcb_get_geometry_reply(c, q.geometry, nullptr)}) {
        auto border = static_cast<std::uint16_t>(2 * geometry->border_width);
        w.area = {geometry->x, geometry->y, static_cast<std::uint16_t>(geometry->width + border),
                  static_cast<std::uint16_t>(geometry->height + border)};
    }
    std::optional<Connector> connector;
    if (q.res) {
        const XcbReply<xcb_res_query_client_ids_reply_t> ids{
            xcb_res_query_client_ids_reply(c, *q.res, nullptr)};
        for (const auto& [client, pid] : clientPids(ids.get()))
            if (pid != 0) connector = this->connector(client, pid);
    }
    auto netPid = values32(propertyReply(c, q.netPid).get());
    auto machine = firstText(propertyReply(c, q.machine).get());
    auto classes = texts(propertyReply(c, q.windowClass).get());
    std::optional<std::string> windowClass;
    if (classes.size() >= 2 && !classes[1].empty()) windowClass = classes[1];
    std::optional<std::string> desktopId = firstText(propertyReply(c, q.gtk).get());
    auto kde = firstText(propertyReply(c, q.kde).get());
    if (!desktopId && kde) {
        desktopId = kde->substr(kde->rfind('/') + 1);
        if (desktopId->ends_with(".desktop")) desktopId->erase(desktopId->size() - 8);
    }
    auto old = windows_.find(window);
    // Another client's window inside counts while shown there; it is looked for again when
    // something is mapped inside.
    if (!selected || (inside != XCB_NONE && !windows_.contains(inside)) ||
        (old == windows_.end() && inside != XCB_NONE && !viewable)) {
        if (old != windows_.end()) forget(window);
        return;
    }
    const auto claimedPid = netPid.empty() ? std::nullopt : std::optional(netPid[0]);
    if (connector) {
        auto [holder, fresh] = batch.holders.try_emplace(*connector, 0);
        if (fresh) holder->second = windowProcess(connector, machine, claimedPid, host_);
        w.pid = holder->second;
    } else {
        w.pid = windowProcess(std::nullopt, machine, claimedPid, host_);
    }
    identify(w, window, desktopId, windowClass, batch);
    changed_ = true;
    if (old != windows_.end()) {
        w.shown = old->second.shown;
        old->second = std::move(w);
        return;
    }
    if (inside == XCB_NONE) {
        // A top-level window counts as shown by the rules that follow its changes.
        w.shown = wm_ && !w.overrideRedirect ? clients_.contains(window) : viewable;
        looking_.push(window, window);
    }
    windows_.emplace(window, std::move(w));
}

void LinuxWorkspace::identify(Window& w, xcb_window_t window,
                              const std::optional<std::string>& claimedId,
                              const std::optional<std::string>& windowClass, Batch& batch) const {
    // What the window says of itself names the app for the child, never more.
    std::optional<std::string> claimedName;
    if (claimedId) claimedName = catalog_.nameOf(*claimedId);
    if (!claimedName) claimedName = windowClass;
    if (w.pid == getpid()) {
        w.identifier = std::string(Paths::helperBundleId);
        w.name = "TovuControl";
        return;
    }
    if (w.pid > 0) {
        auto [known, fresh] = batch.processes.try_emplace(w.pid);
        if (fresh) known->second = {catalog_.identify(w.pid), liveStart(w.pid)};
        const AppIdentity& identity = known->second.identity;
        w.started = known->second.started;
        if (!identity.id.empty()) {
            w.identifier = identity.id;
            w.name = identity.installed ? identity.name : claimedName.value_or(identity.name);
            w.desktopComponent = identity.desktopComponent;
            return;
        }
    }
    // A process that has gone: its connection is all that is left of it, and the X server can
    // end that.
    if (w.pid > 0 || w.pid == orphaned) {
        w.pid =
            -static_cast<pid_t>(window & ~xcb_get_setup(x_.get())->resource_id_mask & INT32_MAX);
        w.started.reset();
        w.identifier = "?";
        w.name = claimedName;
    }
}

bool LinuxWorkspace::makesRegular(const Window& window) const {
    const auto& a = window.area;
    if (!window.overrideRedirect || window.inside != XCB_NONE)
        return a.width >= realSide && a.height >= realSide;
    // A window that bypasses the window manager counts when it covers more than a quarter of
    // the monitor it is most on, so that an app cannot pass for a menu or a tooltip.
    std::int64_t covered = 0, monitor = 1;
    for (const auto& m : monitors_)
        if (const auto o = overlap(a, m); o > covered) {
            covered = o;
            monitor = std::int64_t(m.width) * m.height;
        }
    return 4 * covered > monitor;
}

void LinuxWorkspace::readMonitors() {
    xcb_connection_t* c = x_.get();
    monitors_.clear();
    if (randrEvent_ != 0) {
        XcbReply<xcb_randr_get_monitors_reply_t> reply{
            xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, x_.root(), 1), nullptr)};
        if (reply)
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
                 xcb_randr_monitor_info_next(&it))
                monitors_.push_back({it.data->x, it.data->y, it.data->width, it.data->height});
    }
    if (monitors_.empty())
        monitors_.push_back({0, 0, static_cast<std::uint16_t>(x_.width()),
                             static_cast<std::uint16_t>(x_.height())});
}

bool LinuxWorkspace::counts(const Window& window) const {
    if (window.pid == 0 || window.desktopComponent) return false;
    if (window.inside == XCB_NONE) return window.shown;
    const auto top = windows_.find(window.inside);
    return top != windows_.end() && top->second.shown;
}

std::map<pid_t, RunningApp> LinuxWorkspace::collect() const {
    std::map<pid_t, RunningApp> apps;
    for (const auto& [id, window] : windows_) {
        if (!counts(window)) continue;
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
    if (frontWindow_ == XCB_NONE || it == windows_.end() || !it->second.shown) return std::nullopt;
    // Another client's window shown inside is what the child uses there.
    if (auto nested = nested_.find(frontWindow_); nested != nested_.end())
        for (xcb_window_t window : nested->second)
            if (auto inner = windows_.find(window);
                inner != windows_.end() && inner->second.inside == frontWindow_ &&
                counts(inner->second) && makesRegular(inner->second))
                return inner->second.pid;
    if (!counts(it->second)) return std::nullopt;
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
    front_ = front;
    const auto inFront = frontmostApp();
    // Receivers may ask for the state again: it is complete before the first signal.
    for (const auto& app : launched)
        emit this->launched(app);
    if (!moved) return;
    if (inFront)
        emit activated(*inFront);
    else
        emit deactivated();
}

pid_t windowProcess(const std::optional<Connector>& connector,
                    const std::optional<std::string>& machine,
                    std::optional<std::uint32_t> claimedPid, const std::string& host) {
    if (!connector) {
        if (machine != host || !claimedPid || *claimedPid == 0 || *claimedPid > INT32_MAX) return 0;
        const auto pid = static_cast<pid_t>(*claimedPid);
        return ownerOf(pid) == getuid() ? pid : 0;
    }
    if (connector->pid == 0 || connector->pid > INT32_MAX) return 0;
    const auto pid = static_cast<pid_t>(connector->pid);
    const auto started = liveStart(pid);
    if (started && started == connector->started) return ownerOf(pid) == getuid() ? pid : 0;
    // Reused, the pid names another process, and nothing is left in the ended one's group or
    // session.
    if (started) return orphaned;
    const pid_t heir = heirOf(pid);
    return heir != 0 ? heir : orphaned;
}

std::optional<std::uint64_t> liveStart(pid_t pid) {
    const auto s = statOf(pid);
    // A zombie holds no connection.
    if (!s || s->state == 'Z' || s->state == 'X' || s->state == 'x') return std::nullopt;
    return s->started;
}

std::unique_ptr<Workspace> makeWorkspace() {
    if (QGuiApplication::platformName() == QLatin1String("wayland"))
        return std::make_unique<WaylandWorkspace>();
    return std::make_unique<LinuxWorkspace>();
}

} // namespace tovu
