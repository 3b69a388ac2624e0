#include "platform/LinuxPresentation.hpp"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>
#include <algorithm>

namespace tovu {
namespace {

// Another client (a menu, the window manager's switcher) may hold the input for a moment.
constexpr auto retryInterval = std::chrono::milliseconds(50);

// Qt's own connection: the grabs must belong to the client that owns the lock windows, so that
// their events keep reaching Qt. None without an X display (offscreen tests).
xcb_connection_t* qtConnection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// Whether the window was made by Qt's client (its ids share the client's resource base).
bool ours(xcb_connection_t* qt, xcb_window_t window) {
    const xcb_setup_t* setup = xcb_get_setup(qt);
    return (window & ~setup->resource_id_mask) == setup->resource_id_base;
}

} // namespace

LinuxPresentation::LinuxPresentation() {
    retry_.setSingleShot(true);
    retry_.setInterval(retryInterval);
    connect(&retry_, &QTimer::timeout, this, &LinuxPresentation::grab);
}

LinuxPresentation::~LinuxPresentation() {
    unlock();
}

void LinuxPresentation::lock(const QList<QWidget*>& windows) {
    release();
    windows_.clear();
    xcb_connection_t* c = qtConnection();
    for (QWidget* window : windows) {
        const Qt::WindowFlags flags = window->windowFlags() | Qt::FramelessWindowHint |
                                      Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint;
        if (window->windowFlags() != flags) window->setWindowFlags(flags);
        window->show();
        window->raise();
        const auto id = static_cast<xcb_window_t>(window->winId());
        xcb_rectangle_t area{};
        if (c) {
            // Asked on Qt's connection, so that the answer comes after Qt has placed it.
            XcbReply<xcb_get_geometry_reply_t> geometry{
                xcb_get_geometry_reply(c, xcb_get_geometry(c, id), nullptr)};
            if (geometry) area = {geometry->x, geometry->y, geometry->width, geometry->height};
        }
        windows_.push_back({window, id, area});
    }
    if (windows_.empty()) return;
    windows_.front().widget->activateWindow();
    if (!locked_) {
        locked_ = true;
        qApp->installEventFilter(this);
        if (c) {
            // The root's substructure events tell of every window over the lock and of every
            // change made to the lock windows themselves.
            stacking_ = std::make_unique<XcbConnection>();
            if (stacking_->ok()) {
                stacking_->select(stacking_->root(), XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
                stacking_->setHandler([this](const xcb_generic_event_t& e) { watch(e); });
            }
        }
    }
    grab();
}

void LinuxPresentation::unlock() {
    if (!locked_) return;
    locked_ = false;
    if (qApp) qApp->removeEventFilter(this);
    stacking_.reset();
    release();
    windows_.clear();
}

void LinuxPresentation::grab() {
    xcb_connection_t* c = qtConnection();
    if (!locked_ || !c || windows_.empty() || !windows_.front().widget) return;
    // Owner events: our own windows (every lock window, a popup on one) get their input as
    // usual; everything else comes to the first lock window.
    const xcb_window_t window = windows_.front().id;
    if (!keyboard_) {
        XcbReply<xcb_grab_keyboard_reply_t> reply{
            xcb_grab_keyboard_reply(c,
                                    xcb_grab_keyboard(c, 1, window, XCB_CURRENT_TIME,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                    nullptr)};
        keyboard_ = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
    }
    if (!pointer_) {
        const std::uint16_t events = XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                     XCB_EVENT_MASK_POINTER_MOTION;
        XcbReply<xcb_grab_pointer_reply_t> reply{xcb_grab_pointer_reply(
            c,
            xcb_grab_pointer(c, 1, window, events, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                             XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
            nullptr)};
        pointer_ = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
    }
    if (!grabbed()) retry_.start();
}

void LinuxPresentation::release() {
    retry_.stop();
    if (xcb_connection_t* c = qtConnection(); c && (keyboard_ || pointer_)) {
        xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
        xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
        xcb_flush(c);
    }
    keyboard_ = pointer_ = false;
}

bool LinuxPresentation::eventFilter(QObject* watched, QEvent* event) {
    // Qt lets go of both grabs when one of its popups (a menu, a list) closes.
    auto* widget = qobject_cast<QWidget*>(watched);
    if (event->type() == QEvent::Hide && widget && widget->windowType() == Qt::Popup) {
        keyboard_ = pointer_ = false;
        QTimer::singleShot(0, this, &LinuxPresentation::grab);
    }
    return false;
}

void LinuxPresentation::watch(const xcb_generic_event_t& event) {
    switch (event.response_type & 0x7f) {
    case XCB_UNMAP_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_unmap_notify_event_t&>(event);
        if (!find(e.window)) return;
        // X let go of the grabs if it was the grabbing window; they are taken again once it
        // shows.
        keyboard_ = pointer_ = false;
        xcb_map_window(stacking_->get(), e.window);
        return;
    }
    case XCB_DESTROY_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_destroy_notify_event_t&>(event);
        LockWindow* window = find(e.window);
        if (!window) return;
        keyboard_ = pointer_ = false;
        // The widget stays: it is given a new native window in place of the one destroyed.
        if (QWidget* widget = window->widget) {
            widget->hide();
            widget->windowHandle()->destroy();
            widget->show();
            widget->raise();
            window->id = static_cast<xcb_window_t>(widget->winId());
            // Qt may have taken a size forced on the old window just before its end.
            putBack(*window);
        }
        grab();
        return;
    }
    case XCB_MAP_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_map_notify_event_t&>(event);
        if (find(e.window)) {
            raise();
            grab();
        } else if (!ours(qtConnection(), e.window)) {
            raise();
        }
        return;
    }
    case XCB_CONFIGURE_NOTIFY: {
        const auto& e = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
        if (const LockWindow* window = find(e.window)) {
            const xcb_rectangle_t& a = window->area;
            if (e.x != a.x || e.y != a.y || e.width != a.width || e.height != a.height)
                putBack(*window);
            else if (!onTop())
                raise();
        } else if (!ours(qtConnection(), e.window)) {
            // Our own windows (a popup over the lock) may stay where they are.
            raise();
        }
        return;
    }
    case XCB_CIRCULATE_NOTIFY:
        if (!onTop()) raise();
        return;
    default:
        return;
    }
}

void LinuxPresentation::raise() {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    for (const LockWindow& window : windows_)
        if (window.widget)
            xcb_configure_window(stacking_->get(), window.id, XCB_CONFIG_WINDOW_STACK_MODE, &above);
}

// Whether no window of another client lies over a lock window.
bool LinuxPresentation::onTop() {
    xcb_connection_t* c = stacking_->get();
    XcbReply<xcb_query_tree_reply_t> tree{
        xcb_query_tree_reply(c, xcb_query_tree(c, stacking_->root()), nullptr)};
    if (!tree) return true;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    bool covered = false;
    // The children come bottom first.
    for (int i = xcb_query_tree_children_length(tree.get()) - 1; i >= 0; --i) {
        if (find(children[i])) {
            if (covered) return false;
        } else if (!ours(qtConnection(), children[i])) {
            covered = true;
        }
    }
    return true;
}

void LinuxPresentation::putBack(const LockWindow& window) {
    const xcb_rectangle_t& a = window.area;
    const std::uint32_t values[] = {static_cast<std::uint32_t>(a.x),
                                    static_cast<std::uint32_t>(a.y), a.width, a.height,
                                    XCB_STACK_MODE_ABOVE};
    // On Qt's connection, so that it comes after Qt made the window.
    xcb_connection_t* c = qtConnection();
    xcb_configure_window(c, window.id,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT | XCB_CONFIG_WINDOW_STACK_MODE,
                         values);
    xcb_flush(c);
}

LinuxPresentation::LockWindow* LinuxPresentation::find(xcb_window_t id) {
    const auto it = std::ranges::find(windows_, id, &LockWindow::id);
    return it == windows_.end() ? nullptr : &*it;
}

std::unique_ptr<Presentation> makePresentation() {
    return std::make_unique<LinuxPresentation>();
}

} // namespace tovu
