#include "platform/LinuxSession.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>

using namespace tovu;
using namespace tovu::test;

namespace {

bool waitFor(const std::function<bool()>& cond) {
    return QTest::qWaitFor(cond, 10000);
}

const QString sessionPath = QStringLiteral("/org/freedesktop/login1/session/c7");

// The part of logind the agent asks: the session behind "auto" and its Active property.
class FakeLogind final : public QDBusVirtualObject {
public:
    std::atomic<bool> active = true;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
        if (m.member() == "GetSession" && m.arguments().value(0) == "c7") {
            bus.send(m.createReply(QVariant::fromValue(QDBusObjectPath(sessionPath))));
            return true;
        }
        if (m.member() == "Get" && m.arguments().value(0) == "org.freedesktop.login1.Session") {
            QString name = m.arguments().value(1).toString();
            QVariant value =
                name == "Id" ? QVariant(QStringLiteral("c7")) : QVariant(active.load());
            bus.send(m.createReply(QVariant::fromValue(QDBusVariant(value))));
            return true;
        }
        return false;
    }
};

class SessionTest : public ::testing::Test {
protected:
    bool xset(const std::string& command) {
        return run({"xset", "s", command}, x_.display()).has_value();
    }

    XServer x_{false};
    ScopedEnv env_{"DISPLAY", x_.display()};
};

TEST_F(SessionTest, TheScreenSaverPutsTheSessionToSleepAndWakesIt) {
    // No system bus: the session counts as active.
    LinuxSession session(QDBusConnection(QStringLiteral("none")));
    QSignalSpy asleep(&session, &Session::asleep), awake(&session, &Session::awake);
    ASSERT_TRUE(xset("activate"));
    ASSERT_TRUE(waitFor([&] { return asleep.count() == 1; }));
    ASSERT_TRUE(xset("reset"));
    ASSERT_TRUE(waitFor([&] { return awake.count() == 1; }));
    EXPECT_EQ(asleep.count(), 1);
}

class LogindTest : public SessionTest {
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
    void announce(bool active, bool withValue) {
        logind_.active = active;
        auto signal = QDBusMessage::createSignal(sessionPath, "org.freedesktop.DBus.Properties",
                                                 "PropertiesChanged");
        signal << "org.freedesktop.login1.Session"
               << (withValue ? QVariantMap{{"Active", active}} : QVariantMap())
               << (withValue ? QStringList() : QStringList{"Active"});
        logindBus().send(signal);
    }

    TempDir dir_;
    const QString address_ = QString::fromStdString("unix:path=" + dir_.file("bus"));
    std::optional<Child> bus_;
    FakeLogind logind_;
    QThread thread_;
};

TEST_F(LogindTest, SwitchingSessionsSleepsAndWakesWithTheScreens) {
    // Inactive at start, then switched to and away from, by value or by invalidation.
    logind_.active = false;
    LinuxSession session(QDBusConnection::connectToBus(address_, "agent"));
    QSignalSpy asleep(&session, &Session::asleep), awake(&session, &Session::awake);
    announce(true, true);
    ASSERT_TRUE(waitFor([&] { return awake.count() == 1; }));
    announce(false, true);
    ASSERT_TRUE(waitFor([&] { return asleep.count() == 1; }));
    announce(true, false);
    ASSERT_TRUE(waitFor([&] { return awake.count() == 2; }));

    // Awake only when both say so: the screens sleep, the session goes and comes back.
    ASSERT_TRUE(xset("activate"));
    ASSERT_TRUE(waitFor([&] { return asleep.count() == 2; }));
    announce(false, true);
    announce(true, true);
    ASSERT_TRUE(xset("reset"));
    ASSERT_TRUE(waitFor([&] { return awake.count() == 3; }));
    EXPECT_EQ(asleep.count(), 2);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
