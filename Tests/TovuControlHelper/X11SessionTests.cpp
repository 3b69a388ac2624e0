#include "platform/LinuxSession.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMutex>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <xcb/screensaver.h>

using namespace tovu;
using namespace tovu::test;

namespace {

bool waitFor(const std::function<bool()>& cond) {
    return QTest::qWaitFor(cond, 10000);
}

const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/c7");

// The part of logind the agent asks: the session behind "auto" and its properties.
class FakeLogind final : public QDBusVirtualObject {
public:
    void set(const QString& name, bool value) {
        QMutexLocker lock(&mutex_);
        properties_[name] = value;
    }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
        QMutexLocker lock(&mutex_);
        const QString first = m.arguments().value(0).toString();
        if (m.member() == "GetSession" && first == "c7") {
            bus.send(m.createReply(QVariant::fromValue(QDBusObjectPath(sessionPath))));
        } else if (m.member() == "Get" && m.arguments().value(1) == "Id") {
            bus.send(m.createReply(QVariant::fromValue(QDBusVariant(QStringLiteral("c7")))));
        } else if (m.member() == "GetAll" && first == "org.freedesktop.login1.Session") {
            bus.send(m.createReply(QVariant::fromValue(properties_)));
        } else {
            return false;
        }
        return true;
    }

private:
    QMutex mutex_;
    QVariantMap properties_{{"Active", true}, {"IdleHint", false}, {"LockedHint", false}};
};

class LogindTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus_.emplace(std::vector<std::string>{"dbus-daemon", "--session", "--nofork",
                                              "--address=" + address_.toStdString()},
                     x_.display());
        ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(dir_.file("bus")); }));
        ASSERT_TRUE(logindBus().registerVirtualObject("/org/freedesktop/login1", &logind_,
                                                      QDBusConnection::SubPath));
        ASSERT_TRUE(logindBus().registerService("org.freedesktop.login1"));
        // Its own thread answers while the agent waits for the reply.
        logind_.moveToThread(&thread_);
        thread_.start();
    }
    void TearDown() override {
        thread_.quit();
        thread_.wait();
        QDBusConnection::disconnectFromBus("logind");
        QDBusConnection::disconnectFromBus("agent");
    }
    QDBusConnection logindBus() { return QDBusConnection::connectToBus(address_, "logind"); }
    // Tells of the change with its value, or only that the property changed.
    void announce(const QString& name, bool value, bool withValue) {
        logind_.set(name, value);
        auto signal = QDBusMessage::createSignal(sessionPath, "org.freedesktop.DBus.Properties",
                                                 "PropertiesChanged");
        signal << "org.freedesktop.login1.Session"
               << (withValue ? QVariantMap{{name, value}} : QVariantMap())
               << (withValue ? QStringList() : QStringList{name});
        logindBus().send(signal);
    }

    XServer x_{false};
    ScopedEnv env_{"DISPLAY", x_.display()};
    TempDir dir_;
    const QString address_ = QString::fromStdString("unix:path=" + dir_.file("bus"));
    std::optional<Child> bus_;
    FakeLogind logind_;
    QThread thread_;
};

TEST_F(LogindTest, AwayIdleOrLockedSleepsAndAScreenSaverThatHidesNothingDoesNot) {
    logind_.set("Active", false);
    LinuxSession session(QDBusConnection::connectToBus(address_, "agent"));
    QSignalSpy asleep(&session, &Session::asleep), awake(&session, &Session::awake);
    announce("Active", true, true);
    ASSERT_TRUE(waitFor([&] { return awake.count() == 1; }));

    // A client of the child starts the saver with a 1×1 window that covers nothing.
    xcb_connection_t* child = xcb_connect(x_.display().c_str(), nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(child)).data->root;
    xcb_screensaver_set_attributes(child, root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY, 0,
                                   XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_force_screen_saver(child, XCB_SCREEN_SAVER_ACTIVE);
    std::free(xcb_get_input_focus_reply(child, xcb_get_input_focus(child), nullptr));

    // Switched away, idle or locked, by value or by invalidation: asleep until all three end.
    int n = 1;
    for (const auto& [name, away, withValue] : {std::tuple{"Active", false, true},
                                                {"IdleHint", true, false},
                                                {"LockedHint", true, true}}) {
        SCOPED_TRACE(name);
        announce(name, away, withValue);
        ASSERT_TRUE(waitFor([&] { return asleep.count() == n; }));
        announce(name, !away, !withValue);
        ++n;
        ASSERT_TRUE(waitFor([&] { return awake.count() == n; }));
    }
    EXPECT_EQ(asleep.count(), 3);
    xcb_disconnect(child);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
