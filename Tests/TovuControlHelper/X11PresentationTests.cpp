#include "platform/LinuxPresentation.hpp"
#include "platform/LinuxXcb.hpp"
#include "support/XClient.hpp"
#include "support/XServer.hpp"
#include "support/XView.hpp"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace tovu;
using namespace tovu::test;

namespace {

bool waitFor(const std::function<bool()>& cond) {
    return QTest::qWaitFor(cond, 10000);
}

// The X server (with openbox) that Qt runs on for the whole program.
XServer* server = nullptr;

class QtOnXvfb final : public ::testing::Environment {
public:
    void SetUp() override {
        server_ = std::make_unique<XServer>(true);
        server = server_.get();
        qputenv("DISPLAY", QByteArray::fromStdString(server->display()));
        qputenv("QT_QPA_PLATFORM", "xcb");
        // No session bus: Qt would start one through dbus-launch on the test display.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
        static int argc = 1;
        static char name[] = "tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override {
        app_.reset();
        server_.reset();
    }

private:
    std::unique_ptr<XServer> server_;
    std::unique_ptr<QApplication> app_;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtOnXvfb);

// A lock window, with a button and a text field as the lock screen has.
struct LockWindow {
    QWidget window;
    QPushButton* button = new QPushButton("Xin thêm thời gian", &window);
    QLineEdit* note = new QLineEdit(&window);
    int clicks = 0;

    explicit LockWindow(QRect area) {
        window.setGeometry(area);
        button->setGeometry(100, 100, 200, 40);
        note->setGeometry(100, 200, 200, 30);
        QObject::connect(button, &QPushButton::clicked, [this] { ++clicks; });
    }
    xcb_window_t id() { return static_cast<xcb_window_t>(window.winId()); }
};

bool xdotool(std::vector<std::string> args) {
    args.insert(args.begin(), "xdotool");
    return run(args, server->display()).has_value();
}

// Whether the other client's grab found the device held by another client.
bool held(XView& other) {
    return other.keyboardGrabbed() && other.pointerGrabbed();
}

// Where window lies in the children of the root, bottom first; -1 when it is not one.
long height(XView& x, xcb_window_t window) {
    const auto stack = x.stack();
    const auto at = std::ranges::find(stack, window);
    return at == stack.end() ? -1 : at - stack.begin();
}

TEST(PresentationTest, TheLockStaysOnTopAndInPlaceKeepsItsOwnInputAndHoldsTheRestUntilItLifts) {
    // One lock window per screen: here two halves of the one screen.
    LockWindow left(QRect(0, 0, 640, 800));
    LockWindow right(QRect(640, 0, 640, 800));
    LinuxPresentation presentation;
    XView other(server->display());
    presentation.lock({&left.window, &right.window});
    ASSERT_TRUE(waitFor([&] { return presentation.grabbed(); }));
    EXPECT_TRUE(left.window.isVisible() && right.window.isVisible());
    const std::vector<Area> areas{{0, 0, 640, 800}, {640, 0, 640, 800}};
    EXPECT_EQ(other.overlays(getpid()), areas);
    EXPECT_TRUE(held(other));

    // A window made later comes on top of its siblings; the lock goes back over it.
    XClient cover(server->display(), {{0, 0, 1280, 800}, true});
    EXPECT_TRUE(waitFor([&] {
        const long below = height(other, cover.window());
        return below >= 0 && height(other, left.id()) > below && height(other, right.id()) > below;
    }));

    const QPoint center = right.button->mapToGlobal(right.button->rect().center());
    ASSERT_TRUE(xdotool(
        {"mousemove", std::to_string(center.x()), std::to_string(center.y()), "click", "1"}));
    EXPECT_TRUE(waitFor([&] { return right.clicks == 1; }));
    left.note->setFocus();
    ASSERT_TRUE(xdotool({"type", "abc"}));
    EXPECT_TRUE(waitFor([&] { return left.note->text() == "abc"; }));

    // Closing a popup on the lock does not give the input away.
    QMenu menu(&left.window);
    menu.addAction("60 phút");
    menu.popup(left.window.mapToGlobal(QPoint(100, 300)));
    ASSERT_TRUE(waitFor([&] { return menu.isVisible(); }));
    menu.hide();
    EXPECT_TRUE(waitFor([&] { return presentation.grabbed() && held(other); }));

    // Whatever the child's clients do to a lock window is undone and the input held again:
    // xdotool's changes to the window that holds it, then destroying it.
    const xcb_window_t first = left.id();
    auto restored = [&] { return other.overlays(getpid()) == areas && held(other); };
    const std::string id = std::to_string(first);
    const std::vector<std::string> changes[] = {
        {"windowunmap", id}, {"windowmove", id, "3000", "3000"}, {"windowsize", id, "1", "1"}};
    for (const auto& change : changes) {
        ASSERT_TRUE(xdotool(change));
        EXPECT_TRUE(waitFor(restored)) << change.front();
    }
    xcb_destroy_window(other.connection(), first);
    xcb_flush(other.connection());
    EXPECT_TRUE(waitFor([&] { return left.id() != first && restored(); }));

    presentation.unlock();
    EXPECT_FALSE(presentation.grabbed());
    EXPECT_TRUE(waitFor([&] { return !other.keyboardGrabbed() && !other.pointerGrabbed(); }));
}

TEST(PresentationTest, TheLockWaitsForAnotherClientToLetGoAndKeepsAnOpenPanelUnderIt) {
    // Kept above other windows by the window manager, as the agent's panels are.
    QWidget panel(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
    panel.resize(300, 200);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    LockWindow lock(QRect(0, 0, 1280, 800));
    LinuxPresentation presentation;
    XView other(server->display());
    xcb_connection_t* c = other.connection();
    const XcbReply<xcb_grab_keyboard_reply_t> grab(
        xcb_grab_keyboard_reply(c,
                                xcb_grab_keyboard(c, 0, other.root(), XCB_CURRENT_TIME,
                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                nullptr));
    ASSERT_TRUE(grab && grab->status == XCB_GRAB_STATUS_SUCCESS);
    presentation.lock({&lock.window});
    EXPECT_FALSE(presentation.grabbed());
    panel.raise();
    EXPECT_TRUE(waitFor([&] { return other.stack().back() == lock.id(); }));
    EXPECT_TRUE(panel.isVisible());

    xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    xcb_flush(c);
    ASSERT_TRUE(waitFor([&] { return presentation.grabbed(); }));
    EXPECT_TRUE(held(other));
}

} // namespace
