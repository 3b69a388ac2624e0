#include "platform/LinuxXcb.hpp"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>

namespace tovu {
namespace {

// How long events are handled before the owner settles them and the event loop gets its turn.
constexpr std::chrono::milliseconds slice{10};

} // namespace

XcbConnection::XcbConnection(QObject* parent)
    : QObject(parent) {
    int screen = 0;
    c_ = xcb_connect(nullptr, &screen);
    if (xcb_connection_has_error(c_)) return;
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c_));
    for (; it.rem > 0 && screen > 0; --screen)
        xcb_screen_next(&it);
    if (it.rem == 0) return;
    screen_ = it.data;
    notifier_ = new QSocketNotifier(xcb_get_file_descriptor(c_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &XcbConnection::drain);
    // Events read while the owner set itself up wait in xcb's queue, where the notifier cannot
    // see them.
    QMetaObject::invokeMethod(this, &XcbConnection::drain, Qt::QueuedConnection);
}

XcbConnection::~XcbConnection() {
    xcb_disconnect(c_);
}

void XcbConnection::select(xcb_window_t window, std::uint32_t mask) {
    selectLater(window, mask);
    // Events that happen before the server has read this are not reported.
    xcb_flush(c_);
}

void XcbConnection::selectLater(xcb_window_t window, std::uint32_t mask) {
    xcb_change_window_attributes(c_, window, XCB_CW_EVENT_MASK, &mask);
}

void XcbConnection::drain() {
    again_ = false;
    const auto end = std::chrono::steady_clock::now() + slice;
    bool more = false;
    XcbReply<xcb_generic_event_t> event = std::move(next_);
    if (!event) event.reset(xcb_poll_for_event(c_));
    for (; event; event.reset(xcb_poll_for_event(c_))) {
        if (handler_) handler_(*event);
        if (std::chrono::steady_clock::now() >= end) {
            more = true;
            break;
        }
    }
    if (settle_ && settle_()) more = true;
    xcb_flush(c_);
    if (xcb_connection_has_error(c_)) {
        notifier_->setEnabled(false);
        return;
    }
    // Answers awaited while settling bring events along into xcb's queue, where the notifier
    // cannot see them.
    next_.reset(xcb_poll_for_queued_event(c_));
    if (more || next_) wake();
}

void XcbConnection::wake() {
    if (again_ || !notifier_) return;
    again_ = true;
    QTimer::singleShot(0, this, &XcbConnection::drain);
}

xcb_get_property_cookie_t askProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t atom) {
    return xcb_get_property(c, 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 16384);
}

XcbReply<xcb_get_property_reply_t> propertyReply(xcb_connection_t* c,
                                                 xcb_get_property_cookie_t cookie) {
    return XcbReply<xcb_get_property_reply_t>{xcb_get_property_reply(c, cookie, nullptr)};
}

std::vector<std::uint32_t> values32(const xcb_get_property_reply_t* reply) {
    if (!reply || reply->format != 32) return {};
    auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
    return {data, data + xcb_get_property_value_length(reply) / 4};
}

std::vector<std::string> texts(const xcb_get_property_reply_t* reply) {
    if (!reply || reply->format != 8) return {};
    auto* data = static_cast<const char*>(xcb_get_property_value(reply));
    std::string all(data, static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < all.size()) {
        auto end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        out.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

} // namespace tovu
