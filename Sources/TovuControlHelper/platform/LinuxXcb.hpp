#pragma once

#include <QObject>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <xcb/xcb.h>

class QSocketNotifier;

namespace tovu {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
// An xcb reply, freed with the object.
template <class T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

// A connection of our own to the X server of $DISPLAY (apart from Qt's), whose events are
// handed to the handler from the Qt event loop as they arrive. However fast they come, the event
// loop gets its turn every few milliseconds: the events are handled for a slice of time, then the
// owner settles what they asked for, and the rest waits for the next turn.
class XcbConnection final : public QObject {
public:
    using Handler = std::function<void(const xcb_generic_event_t&)>;
    // Does the work that the events handled so far asked for; true while some is left for the
    // next turn.
    using Settle = std::function<bool()>;

    explicit XcbConnection(QObject* parent = nullptr);
    ~XcbConnection() override;

    // False when there is no X server to talk to; then nothing else is asked of it.
    bool ok() const { return screen_ != nullptr; }
    xcb_connection_t* get() const { return c_; }
    xcb_window_t root() const { return screen_->root; }
    int width() const { return screen_->width_in_pixels; }
    int height() const { return screen_->height_in_pixels; }

    void setHandler(Handler handler) { handler_ = std::move(handler); }
    void setSettle(Settle settle) { settle_ = std::move(settle); }
    // Sets the events this connection receives for a window, from now on.
    void select(xcb_window_t window, std::uint32_t mask);
    // The same, sent with the next request that waits for an answer or the end of the turn.
    void selectLater(xcb_window_t window, std::uint32_t mask);
    // Asks for a turn soon, for work that came from elsewhere than the server's events.
    void wake();

private:
    void drain();

    xcb_connection_t* c_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    QSocketNotifier* notifier_ = nullptr;
    Handler handler_;
    Settle settle_;
    // An event taken from xcb's queue to learn that it was not empty: handled first next turn.
    XcbReply<xcb_generic_event_t> next_;
    bool again_ = false; // a turn is asked for
};

// Asks for a whole property (up to 64 KiB) of a window.
xcb_get_property_cookie_t askProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t atom);
XcbReply<xcb_get_property_reply_t> propertyReply(xcb_connection_t* c,
                                                 xcb_get_property_cookie_t cookie);
// The 32-bit values of a property (windows, atoms, cardinals); empty when absent.
std::vector<std::uint32_t> values32(const xcb_get_property_reply_t* reply);
// The strings of a text property (NUL-separated); empty when absent.
std::vector<std::string> texts(const xcb_get_property_reply_t* reply);

} // namespace tovu
