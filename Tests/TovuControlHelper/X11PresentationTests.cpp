#include "platform/LinuxPresentation.hpp"
#include "support/XServer.hpp"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

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
    OtherClient()
        : c_(xcb_connect(server->display().c_str(), nullptr)) {
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    }
    ~OtherClient() { xcb_disconnect(c_); }

    std::uint8_t grabKeyboard() {
        auto* reply =
            xcb_grab_keyboard_reply(c_,
                                    xcb_grab_keyboard(c_, 0, root_, XCB_CURRENT_TIME,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                    nullptr);
        std::uint8_t status = reply ? reply->status : 255;
        std::free(reply);
        return status;
    }
    std::uint8_t grabPointer() {
        auto* reply = xcb_grab_pointer_reply(
            c_,
            xcb_grab_pointer(c_, 0, root_, XCB_EVENT_MASK_BUTTON_PRESS, XCB_GRAB_MODE_ASYNC,
                             XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
            nullptr);
        std::uint8_t status = reply ? reply->status : 255;
        std::free(reply);
        return status;
    }
    void ungrab() {
        xcb_ungrab_keyboard(c_, XCB_CURRENT_TIME);
        xcb_ungrab_pointer(c_, XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    }
    // Whether this client could take both; it lets go again at once.
    bool couldTakeInput() {
        bool keyboard = grabKeyboard() == XCB_GRAB_STATUS_SUCCESS;
        bool pointer = grabPointer() == XCB_GRAB_STATUS_SUCCESS;
        ungrab();
        return keyboard || pointer;
    }
    // The children of the root, bottom first.
    std::vector<xcb_window_t> stack() {
        auto* tree = xcb_query_tree_reply(c_, xcb_query_tree(c_, root_), nullptr);
        xcb_window_t* children = xcb_query_tree_children(tree);
        std::vector<xcb_window_t> windows(children,
                                          children + xcb_query_tree_children_length(tree));
        std::free(tree);
        return windows;
    }
    xcb_window_t mapOverrideRedirectWindow() {
        xcb_window_t window = xcb_generate_id(c_);
        std::uint32_t overrideRedirect = 1;
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, root_, 0, 0, 1280, 800, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_OVERRIDE_REDIRECT, &overrideRedirect);
        xcb_map_window(c_, window);
        xcb_flush(c_);
        return window;
    }
    bool bypassesWindowManager(xcb_window_t window) {
        auto* reply =
            xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr);
        bool bypasses = reply && reply->override_redirect;
        std::free(reply);
        return bypasses;
    }

private:
    xcb_connection_t* c_;
    xcb_window_t root_;
};

// A lock window, with a button and a text field as the lock screen has.
struct LockWindow {
    QWidget window;
    QPushButton* button = new QPushButton("Xin thêm thời gian", &window);
    QLineEdit* note = new QLineEdit(&window);
    int clicks = 0;

    explicit LockWindow(QRect area = QGuiApplication::primaryScreen()->geometry()) {
        window.setGeometry(area);
        button->setGeometry(100, 100, 200, 40);
        note->setGeometry(100, 200, 200, 30);
        QObject::connect(button, &QPushButton::clicked, [this] { ++clicks; });
    }
    xcb_window_t id() { return static_cast<xcb_window_t>(window.winId()); }
};

bool xdotool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, server->display()).has_value();
}

TEST(PresentationTest, TheLockHoldsKeyboardAndPointerUntilItLifts) {
    LockWindow lock;
    LinuxPresentation presentation;
    OtherClient other;
    presentation.lock({&lock.window});
    ASSERT_TRUE(waitFor([&] { return presentation.grabbed(); }));
    EXPECT_TRUE(lock.window.isVisible());
    EXPECT_TRUE(other.bypassesWindowManager(lock.id()));
    EXPECT_EQ(other.grabKeyboard(), XCB_GRAB_STATUS_ALREADY_GRABBED);
    EXPECT_EQ(other.grabPointer(), XCB_GRAB_STATUS_ALREADY_GRABBED);

    presentation.unlock();
    EXPECT_FALSE(presentation.grabbed());
    EXPECT_TRUE(waitFor([&] { return other.couldTakeInput(); }));
}

TEST(PresentationTest, TheLockWaitsForAnotherClientToLetGo) {
    LockWindow lock;
    LinuxPresentation presentation;
    OtherClient other;
    ASSERT_EQ(other.grabKeyboard(), XCB_GRAB_STATUS_SUCCESS);
    presentation.lock({&lock.window});
    EXPECT_FALSE(presentation.grabbed());

    other.ungrab();
    ASSERT_TRUE(waitFor([&] { return presentation.grabbed(); }));
    EXPECT_FALSE(other.couldTakeInput());
}

TEST(PresentationTest, LockWindowsStayOnTopAndKeepTheirOwnInput) {
    // One lock window per screen: here two halves of the one screen.
    LockWindow left(QRect(0, 0, 640, 800));
    LockWindow right(QRect(640, 0, 640, 800));
    LinuxPresentation presentation;
    OtherClient other;
    presentation.lock({&left.window, &right.window});
    ASSERT_TRUE(waitFor([&] { return presentation.grabbed(); }));

    // A window made later comes on top of its siblings; the lock goes back over it.
    xcb_window_t cover = other.mapOverrideRedirectWindow();
    EXPECT_TRUE(waitFor([&] {
        auto stack = other.stack();
        auto at = [&](xcb_window_t w) { return std::ranges::find(stack, w) - stack.begin(); };
        return at(left.id()) > at(cover) && at(right.id()) > at(cover);
    }));

    QPoint center = right.button->mapToGlobal(right.button->rect().center());
    ASSERT_TRUE(xdotool(
        {"mousemove", std::to_string(center.x()), std::to_string(center.y()), "click", "1"}));
    EXPECT_TRUE(waitFor([&] { return right.clicks == 1; }));
    left.note->setFocus();
    ASSERT_TRUE(xdotool({"type", "abc"}));
    EXPECT_TRUE(waitFor([&] { return left.note->text() == "abc"; }));
}

TEST(PresentationTest, ClosingAPopupOnTheLockDoesNotGiveTheInputAway) {
    LockWindow lock;
    LinuxPresentation presentation;
    OtherClient other;
    presentation.lock({&lock.window});
    ASSERT_TRUE(waitFor([&] { return presentation.grabbed(); }));

    QMenu menu(&lock.window);
    menu.addAction("60 phút");
    menu.popup(lock.window.mapToGlobal(QPoint(100, 300)));
    ASSERT_TRUE(waitFor([&] { return menu.isVisible(); }));
    menu.hide();
    EXPECT_TRUE(waitFor([&] { return presentation.grabbed() && !other.couldTakeInput(); }));
}

} // namespace
