#include "platform/LinuxSession.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
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

struct Counts {
    int asleep = 0;
    int awake = 0;
    explicit Counts(Session& session) {
        QObject::connect(&session, &Session::asleep, [this] { ++asleep; });
        QObject::connect(&session, &Session::awake, [this] { ++awake; });
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
    Counts counts(session);
    ASSERT_TRUE(xset("activate"));
    ASSERT_TRUE(waitFor([&] { return counts.asleep == 1; }));
    ASSERT_TRUE(xset("reset"));
    ASSERT_TRUE(waitFor([&] { return counts.awake == 1; }));
    EXPECT_EQ(counts.asleep, 1);
}

class LogindTest : public SessionTest {
protected:
    void SetUp() override {
        if (!run({"sh", "-c", "command -v dbus-daemon"}, x_.display()))
            GTEST_SKIP() << "dbus-daemon is not installed";
        std::string address = "unix:path=" + dir_.file("bus");
        bus_.emplace(std::vector<std::string>{"dbus-daemon", "--session", "--nofork",
                                              "--address=" + address},
                     x_.display());
        ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(dir_.file("bus")); }));
        logindBus_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QString::fromStdString(address), "logind"));
        agentBus_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QString::fromStdString(address), "agent"));
        ASSERT_TRUE(logindBus_->isConnected() && agentBus_->isConnected());
        ASSERT_TRUE(logindBus_->registerVirtualObject("/org/freedesktop/login1", &logind_,
                                                      QDBusConnection::SubPath));
        ASSERT_TRUE(logindBus_->registerService("org.freedesktop.login1"));
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
    void announce(bool active, bool withValue) {
        logind_.active = active;
        auto signal = QDBusMessage::createSignal(sessionPath, "org.freedesktop.DBus.Properties",
                                                 "PropertiesChanged");
        QVariantMap changed;
        QStringList invalidated;
        if (withValue)
            changed["Active"] = active;
        else
            invalidated << "Active";
        signal << "org.freedesktop.login1.Session" << changed << invalidated;
        logindBus_->send(signal);
    }

    TempDir dir_;
    std::optional<Child> bus_;
    std::unique_ptr<QDBusConnection> logindBus_, agentBus_;
    FakeLogind logind_;
    QThread thread_;
};

TEST_F(LogindTest, SwitchingSessionsSleepsAndWakesWithTheScreens) {
    LinuxSession session(*agentBus_);
    Counts counts(session);
    announce(false, true);
    ASSERT_TRUE(waitFor([&] { return counts.asleep == 1; }));
    announce(true, false);
    ASSERT_TRUE(waitFor([&] { return counts.awake == 1; }));

    // Awake only when both say so: the screens sleep, the session goes and comes back.
    ASSERT_TRUE(xset("activate"));
    ASSERT_TRUE(waitFor([&] { return counts.asleep == 2; }));
    announce(false, true);
    announce(true, true);
    ASSERT_TRUE(xset("reset"));
    ASSERT_TRUE(waitFor([&] { return counts.awake == 2; }));
    EXPECT_EQ(counts.asleep, 2);
}

TEST_F(LogindTest, AnInactiveSessionAtStartWakesWhenActivated) {
    logind_.active = false;
    LinuxSession session(*agentBus_);
    Counts counts(session);
    announce(true, true);
    ASSERT_TRUE(waitFor([&] { return counts.awake == 1; }));
    EXPECT_EQ(counts.asleep, 0);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
