#include "platform/LinuxPresentation.hpp"
#include "support/XServer.hpp"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>

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

// Another X client, as a program that wants the input would be.
class OtherClient {
public:
    bool grabKeyboard() {
        const XcbReply<xcb_grab_keyboard_reply_t> reply(
            xcb_grab_keyboard_reply(c(),
                                    xcb_grab_keyboard(c(), 0, x_.root(), XCB_CURRENT_TIME,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                    nullptr));
        return reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
    }
    void ungrab() {
        xcb_ungrab_keyboard(c(), XCB_CURRENT_TIME);
        xcb_ungrab_pointer(c(), XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(c(), xcb_get_input_focus(c()), nullptr));
    }
    // Whether this client could take the keyboard or the pointer; it lets go again at once.
    bool couldTakeInput() {
        const bool keyboard = grabKeyboard();
        const XcbReply<xcb_grab_pointer_reply_t> pointer(xcb_grab_pointer_reply(
            c(),
            xcb_grab_pointer(c(), 0, x_.root(), XCB_EVENT_MASK_BUTTON_PRESS, XCB_GRAB_MODE_ASYNC,
                             XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
            nullptr));
        ungrab();
        return keyboard || (pointer && pointer->status == XCB_GRAB_STATUS_SUCCESS);
    }
    // Where window lies in the children of the root, bottom first; -1 when it is not one.
    long height(xcb_window_t window) {
        const XcbReply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(c(), xcb_query_tree(c(), x_.root()), nullptr));
        const xcb_window_t* first = xcb_query_tree_children(tree.get());
        const xcb_window_t* end = first + xcb_query_tree_children_length(tree.get());
        const xcb_window_t* at = std::find(first, end, window);
        return at == end ? -1 : at - first;
    }
    xcb_window_t mapOverrideRedirectWindow() {
        const xcb_window_t window = xcb_generate_id(c());
        const std::uint32_t overrideRedirect = 1;
        xcb_create_window(c(), XCB_COPY_FROM_PARENT, window, x_.root(), 0, 0, 1280, 800, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_OVERRIDE_REDIRECT, &overrideRedirect);
        xcb_map_window(c(), window);
        xcb_flush(c());
        return window;
    }
    // The window's area on the root while it shows; nothing while it does not.
    std::optional<QRect> shown(xcb_window_t window) {
        const XcbReply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c(), xcb_get_window_attributes(c(), window), nullptr));
        const XcbReply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(c(), xcb_get_geometry(c(), window), nullptr));
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE || !geometry) return {};
        return QRect(geometry->x, geometry->y, geometry->width, geometry->height);
    }
    // The child of the root that holds window (the window manager's frame of a managed one).
    xcb_window_t topOf(xcb_window_t window) {
        for (;;) {
            const XcbReply<xcb_query_tree_reply_t> tree(
                xcb_query_tree_reply(c(), xcb_query_tree(c(), window), nullptr));
            if (!tree || tree->parent == x_.root() || tree->parent == XCB_NONE) return window;
            window = tree->parent;
        }
    }
    void destroy(xcb_window_t window) {
        xcb_destroy_window(c(), window);
        xcb_flush(c());
    }
    bool bypassesWindowManager(xcb_window_t window) {
        const XcbReply<xcb_get_window_attributes_reply_t> reply(
            xcb_get_window_attributes_reply(c(), xcb_get_window_attributes(c(), window), nullptr));
        return reply && reply->override_redirect;
    }

private:
    xcb_connection_t* c() const { return x_.get(); }
    XcbConnection x_;
};

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

TEST(PresentationTest, TheLockStaysOnTopKeepsItsOwnInputAndHoldsTheRestUntilItLifts) {
    // One lock window per screen: here two halves of the one screen.
    LockWindow left(QRect(0, 0, 640, 800));
    LockWindow right(QRect(640, 0, 640, 800));
    LinuxPresentation presentation;
    OtherClient other;
    presentation.lock({&left.window, &right.window});
    ASSERT_TRUE(waitFor([&] { return presentation.grabbed(); }));
    EXPECT_TRUE(left.window.isVisible() && right.window.isVisible());
    EXPECT_TRUE(other.bypassesWindowManager(left.id()));
    EXPECT_FALSE(other.couldTakeInput());

    // A window made later comes on top of its siblings; the lock goes back over it.
    const xcb_window_t cover = other.mapOverrideRedirectWindow();
    EXPECT_TRUE(waitFor([&] {
        const long below = other.height(cover);
        return below >= 0 && other.height(left.id()) > below && other.height(right.id()) > below;
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
    EXPECT_TRUE(waitFor([&] { return presentation.grabbed() && !other.couldTakeInput(); }));

    presentation.unlock();
    EXPECT_FALSE(presentation.grabbed());
    EXPECT_TRUE(waitFor([&] { return other.couldTakeInput(); }));
}

TEST(PresentationTest, TheLockWaitsForAnotherClientToLetGo) {
    LockWindow lock(QRect(0, 0, 1280, 800));
    LinuxPresentation presentation;
    OtherClient other;
    ASSERT_TRUE(other.grabKeyboard());
    presentation.lock({&lock.window});
    EXPECT_FALSE(presentation.grabbed());

    other.ungrab();
    ASSERT_TRUE(waitFor([&] { return presentation.grabbed(); }));
    EXPECT_FALSE(other.couldTakeInput());
}

TEST(PresentationTest, WhateverAnotherClientDoesToALockWindowIsUndoneAndTheInputHeldAgain) {
    LockWindow left(QRect(0, 0, 640, 800));
    LockWindow right(QRect(640, 0, 640, 800));
    LinuxPresentation presentation;
    QSignalSpy lost(&presentation, &Presentation::windowLost);
    OtherClient other;
    presentation.lock({&left.window, &right.window});
    ASSERT_TRUE(waitFor([&] { return presentation.grabbed(); }));

    // As the child would with xdotool, on the window that holds the input.
    const std::string id = std::to_string(left.id());
    const std::vector<std::string> changes[] = {
        {"windowunmap", id}, {"windowmove", id, "3000", "3000"}, {"windowsize", id, "1", "1"}};
    for (const auto& change : changes) {
        ASSERT_TRUE(xdotool(change));
        EXPECT_TRUE(waitFor([&] {
            return other.shown(left.id()) == QRect(0, 0, 640, 800) && !other.couldTakeInput();
        })) << change.front();
    }

    // Destroyed: the window left holds the input until the owner has built the new ones.
    other.destroy(left.id());
    EXPECT_TRUE(waitFor([&] { return lost.count() == 1 && !other.couldTakeInput(); }));
    EXPECT_EQ(other.shown(right.id()), QRect(640, 0, 640, 800));
}

TEST(PresentationTest, APanelOpenWhenTheLockStartsStaysUnderIt) {
    // Kept above other windows by the window manager, as the agent's panels are.
    QWidget panel(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
    panel.resize(300, 200);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    LockWindow lock(QRect(0, 0, 1280, 800));
    LinuxPresentation presentation;
    OtherClient other;
    presentation.lock({&lock.window});
    panel.raise();
    const xcb_window_t frame = other.topOf(static_cast<xcb_window_t>(panel.winId()));
    EXPECT_TRUE(waitFor([&] { return other.height(frame) < other.height(lock.id()); }));
    EXPECT_TRUE(panel.isVisible());
}

} // namespace
