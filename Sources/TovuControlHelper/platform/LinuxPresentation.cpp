#include "platform/LinuxPresentation.hpp"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

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
    for (QWidget* window : windows) {
        const Qt::WindowFlags flags = window->windowFlags() | Qt::FramelessWindowHint |
                                      Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint;
        if (window->windowFlags() != flags) window->setWindowFlags(flags);
        window->show();
        window->raise();
        windows_.append(window);
    }
    if (windows_.isEmpty()) return;
    windows_.front()->activateWindow();
    if (!locked_) {
        locked_ = true;
        qApp->installEventFilter(this);
        if (qtConnection()) {
            stacking_ = std::make_unique<XcbConnection>();
            if (stacking_->ok()) {
                stacking_->select(stacking_->root(), XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
                stacking_->setHandler([this](const xcb_generic_event_t& e) { restack(e); });
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
    if (!locked_ || !c || windows_.isEmpty() || !windows_.front()) return;
    // Owner events: our own windows (every lock window, a popup on one) get their input as
    // usual; everything else comes to the first lock window.
    auto window = static_cast<xcb_window_t>(windows_.front()->winId());
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

void LinuxPresentation::restack(const xcb_generic_event_t& event) {
    xcb_window_t window;
    switch (event.response_type & 0x7f) {
    case XCB_MAP_NOTIFY:
        window = reinterpret_cast<const xcb_map_notify_event_t&>(event).window;
        break;
    case XCB_CONFIGURE_NOTIFY:
        window = reinterpret_cast<const xcb_configure_notify_event_t&>(event).window;
        break;
    default:
        return;
    }
    // Our own windows (the lock windows themselves, a popup over them) may stay where they are.
    if (ours(qtConnection(), window)) return;
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    for (const auto& lockWindow : windows_)
        if (lockWindow)
            xcb_configure_window(stacking_->get(), static_cast<xcb_window_t>(lockWindow->winId()),
                                 XCB_CONFIG_WINDOW_STACK_MODE, &above);
}

std::unique_ptr<Presentation> makePresentation() {
    return std::make_unique<LinuxPresentation>();
}

} // namespace tovu
