#pragma once

#include "platform/LinuxXcb.hpp"
#include "platform/Presentation.hpp"

#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace tovu {

// The lock windows bypass the window manager, are raised again whenever another window comes
// over them or they are lowered, are shown again on their screens whenever another client unmaps,
// moves, resizes or destroys them, and hold the keyboard and pointer grabs of X so that no shortcut
// or click reaches another app.
class LinuxPresentation final : public Presentation {
public:
    LinuxPresentation();
    ~LinuxPresentation() override;

    void lock(const QList<QWidget*>& windows) override;
    void unlock() override;

    // Whether the keyboard and the pointer are both ours now.
    bool grabbed() const { return keyboard_ && pointer_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct LockWindow {
        QPointer<QWidget> widget;
        xcb_window_t id;
        xcb_rectangle_t area; // where it was shown, in the server's pixels
    };

    void grab();
    void release();
    void watch(const xcb_generic_event_t& event);
    void raise();
    bool onTop();
    void putBack(const LockWindow& window);
    LockWindow* find(xcb_window_t id);

    std::vector<LockWindow> windows_;
    bool locked_ = false;
    bool keyboard_ = false;
    bool pointer_ = false;
    QTimer retry_;
    std::unique_ptr<XcbConnection> stacking_;
};

} // namespace tovu
