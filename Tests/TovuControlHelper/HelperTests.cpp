#include "Helper.hpp"
#include "QtTestSupport.hpp"
#include "Views/HopXin.hpp"
#include "Views/ManGioiThieu.hpp"
#include "Views/ManKhongDuoc.hpp"
#include "platform/Presentation.hpp"
#include "platform/Session.hpp"
#include "platform/Workspace.hpp"
#include "support/Support.hpp"

#include <QDateTime>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QSystemTrayIcon>
#include <unistd.h>

namespace tovu::test {
namespace {

using namespace std::chrono_literals;
using X = TrangThaiXin;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class FakeWorkspace final : public Workspace {
public:
    std::vector<RunningApp> runningApps() const override { return apps; }
    std::optional<RunningApp> frontmostApp() const override { return front; }
    void forceTerminate(const RunningApp& app) override { killed.push_back(app.pid); }

    std::vector<RunningApp> apps;
    std::optional<RunningApp> front;
    std::vector<pid_t> killed;
};

class FakePresentation final : public Presentation {
public:
    void lock(const QList<QWidget*>& windows) override { locks.push_back(windows); }
    void unlock() override { ++unlocks; }

    std::vector<QList<QWidget*>> locks;
    int unlocks = 0;
};

RunningApp app(pid_t pid, std::optional<std::string> id, std::optional<std::string> name,
               bool regular = true) {
    return {pid, std::move(id), std::move(name), regular};
}

Policy hoc(std::vector<std::string> allowed) {
    Policy p = policy();
    p.mode = "hoc";
    p.allowedApps = std::move(allowed);
    return p;
}

IpcResponse withPolicy(Policy p) {
    IpcResponse r = ok();
    r.policy = std::move(p);
    r.online = true;
    return r;
}

class HelperTest : public ::testing::Test {
protected:
    void SetUp() override { make({1h, 1h}); }
    // No operation may outlive the test: the helper goes first, then every call is released.
    void TearDown() override {
        helper.reset();
        for (std::size_t i = 0; i < daemon.count(); ++i)
            (void)daemon.answer(i, failed("x"));
    }

    void make(HelperIntervals intervals) {
        helper = std::make_unique<Helper>(workspace, session, presentation, clock, intervals);
        helper->m.call = daemon.call();
    }
    QString title() const { return helper->item()->toolTip(); }
    QAction* entry(const QString& text) const {
        for (QAction* a : helper->menu()->actions())
            if (a->text() == text) return a;
        return nullptr;
    }
    std::string today() const { return UsageTracker::ngay(clock.now()); }

    FakeDaemon daemon;
    FakeWorkspace workspace;
    Session session;
    FakePresentation presentation;
    ManualClock clock{utcTime(2025, 3, 1, 10, 0)};
    std::unique_ptr<Helper> helper;

    const RunningApp game = app(300, "org.game", "Game");
    const RunningApp tray = app(301, "org.tray", "Tray", false);
    const RunningApp self = app(getpid(), "org.self", "Self");
    const RunningApp finder = app(302, "COM.APPLE.FINDER", "Finder");
};

TEST_F(HelperTest, StartUpRestoresUsageCountsTheFrontAppThenAppliesThePolicy) {
    workspace.front = app(100, "org.a", "A");
    helper->start();
    ASSERT_EQ(daemon.count(), 1u);
    EXPECT_EQ(daemon.request(0), IpcRequest(yeuCau("usageToday")));
    EXPECT_FALSE(helper->tracker.dangMo());
    QStringList entries;
    for (QAction* a : helper->menu()->actions())
        entries << (a->isSeparator() ? "—" : a->text());
    EXPECT_EQ(entries, QStringList({"TovuControl đang bật", "—", "Xin thêm thời gian…"}));

    // Stored minutes count even when the daemon reports a failure with them.
    IpcResponse stored = failed("x");
    stored.entries = std::vector<UsageEntry>{{today(), "org.b", "B", 5}};
    ASSERT_TRUE(daemon.answer(0, stored));
    EXPECT_EQ(helper->tracker.giay().at(today()).at("org.b"), 300);
    EXPECT_EQ(helper->tracker.dangMo(), (UsageTracker::DangMo{"org.a", clock.now()}));
    ASSERT_EQ(daemon.count(), 2u);
    EXPECT_EQ(daemon.request(1), IpcRequest(yeuCau("policy")));
    EXPECT_TRUE(presentation.locks.empty());

    ASSERT_TRUE(daemon.answer(1, withPolicy(policy(true, "het_gio"))));
    ASSERT_EQ(presentation.locks.size(), 1u);
    EXPECT_EQ(title(), " Đã khoá");
}

TEST_F(HelperTest, NothingIsEnforcedBeforeTheFirstPolicy) {
    workspace.apps = {game};
    helper->start();
    ASSERT_TRUE(daemon.answer(0, ok()));
    ASSERT_TRUE(daemon.answer(1, failed("Dịch vụ TovuControl không chạy")));
    emit workspace.launched(game);
    emit workspace.activated(game);
    EXPECT_EQ(title(), " TovuControl");
    EXPECT_THAT(workspace.killed, IsEmpty());
    EXPECT_TRUE(presentation.locks.empty());
    EXPECT_FALSE(helper->hop());
}

TEST_F(HelperTest, LockCoversEveryScreenAndSweepsEveryApply) {
    helper->start();
    workspace.apps = {game, tray, self, finder};
    helper->m.setXin(X::TuChoi{});
    helper->m.setPolicy(policy(true));
    helper->apDung();
    const QList<QWidget*> windows = helper->manKhoa();
    ASSERT_EQ(windows.size(), QGuiApplication::screens().size());
    for (int i = 0; i < windows.size(); ++i) {
        EXPECT_EQ(windows[i]->geometry(), QGuiApplication::screens()[i]->geometry());
        EXPECT_TRUE(windows[i]->isVisible());
    }
    ASSERT_EQ(presentation.locks.size(), 1u);
    EXPECT_EQ(presentation.locks[0], windows);
    EXPECT_EQ(helper->m.xin(), X(X::ChuaXin{}));
    EXPECT_THAT(workspace.killed, ElementsAre(300));

    // Still locked: the same windows, the sweep again.
    helper->apDung();
    EXPECT_EQ(helper->manKhoa(), windows);
    EXPECT_THAT(workspace.killed, ElementsAre(300, 300));

    // The screens change: the windows are built again.
    emit QGuiApplication::primaryScreen()->geometryChanged({});
    EXPECT_EQ(presentation.locks.size(), 2u);
    EXPECT_NE(helper->manKhoa(), windows);
    EXPECT_FALSE(windows[0]->isVisible());
    emit qGuiApp->screenAdded(QGuiApplication::primaryScreen());
    EXPECT_EQ(presentation.locks.size(), 3u);
}

TEST_F(HelperTest, LockStartKeepsAWaitingRequest) {
    helper->m.setXin(X::Cho{"r", 30});
    helper->m.setPolicy(policy(true));
    helper->apDung();
    EXPECT_EQ(helper->m.xin(), X(X::Cho{"r", 30}));
}

TEST_F(HelperTest, LiftedLockClosesTheWindowsFirstAndSweepsOnTheNextApply) {
    workspace.apps = {app(303, "org.ok", "Ok"), game};
    helper->m.setPolicy(policy(true));
    helper->apDung();
    QPointer<QWidget> window = helper->manKhoa().front();
    workspace.killed.clear();

    helper->m.setPolicy(hoc({"org.ok"}));
    helper->apDung();
    EXPECT_THAT(helper->manKhoa(), IsEmpty());
    EXPECT_EQ(presentation.unlocks, 1);
    EXPECT_TRUE(!window || !window->isVisible());
    EXPECT_THAT(workspace.killed, IsEmpty());

    helper->apDung();
    EXPECT_THAT(workspace.killed, ElementsAre(300));
    // Outside "hoc" the sweep closes nothing.
    helper->m.setPolicy(policy());
    helper->apDung();
    EXPECT_THAT(workspace.killed, ElementsAre(300));
    emit qGuiApp->screenAdded(QGuiApplication::primaryScreen());
    EXPECT_EQ(presentation.locks.size(), 1u);
}

TEST_F(HelperTest, TheLockScreenTakesTheKeyboardAndReturnSends) {
    helper->start();
    helper->m.setPolicy(policy(true));
    helper->apDung();
    QWidget* window = helper->manKhoa().front();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return QApplication::focusWidget() && window->isAncestorOf(QApplication::focusWidget());
        },
        5000));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    ASSERT_EQ(daemon.count(), 2u);
    EXPECT_EQ(daemon.last(), IpcRequest(yeuCau("request").kind("them_gio").minutes(60).note("")));

    // The window manager gave the focus to nobody (the app that had it was closed): the lock
    // takes it back.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return other.isActiveWindow(); }, 5000));
    emit qGuiApp->focusWindowChanged(nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->isActiveWindow(); }, 5000));
}

TEST_F(HelperTest, TickTalksToTheDaemonOnlyForAWaitingRequestOrAnEndedGrant) {
    Policy granted = policy();
    granted.grantEndsAt =
        QDateTime::fromSecsSinceEpoch(
            std::chrono::duration_cast<std::chrono::seconds>((clock.now() + 60s).time_since_epoch())
                .count(),
            Qt::UTC)
            .toString(Qt::ISODate)
            .toStdString();
    helper->m.setPolicy(granted);
    clock.advance(30s);
    EXPECT_TRUE(xong(helper->nhip()));
    EXPECT_EQ(daemon.count(), 0u);
    EXPECT_EQ(helper->m.now(), clock.now());

    helper->m.setXin(X::Cho{"r", 30});
    auto poll = helper->nhip();
    EXPECT_EQ(daemon.last(), IpcRequest(yeuCau("requestState").id("r")));
    ASSERT_TRUE(daemon.answer(0, ok()));
    EXPECT_TRUE(xong(poll));
    helper->m.setXin(X::ChuaXin{});

    // The grant has ended: every tick asks for the policy until it no longer says so.
    clock.advance(30s);
    for (std::size_t i = 1; i <= 2; ++i) {
        auto tick = helper->nhip();
        ASSERT_EQ(daemon.count(), i + 1);
        EXPECT_EQ(daemon.last(), IpcRequest(yeuCau("policy")));
        ASSERT_TRUE(daemon.answer(i, withPolicy(i == 1 ? granted : policy(true, "het_gio"))));
        EXPECT_TRUE(xong(tick));
    }
    EXPECT_EQ(helper->manKhoa().size(), QGuiApplication::screens().size());
    EXPECT_TRUE(xong(helper->nhip()));
    EXPECT_EQ(daemon.count(), 3u);
}

TEST_F(HelperTest, UsageReportBooksUpToNowSendsTodayThenApplies) {
    helper->tracker.doiApp("org.a", "A", clock.now());
    clock.advance(3min + 10s);
    auto report = helper->guiUsage();
    ASSERT_EQ(daemon.count(), 1u);
    EXPECT_EQ(daemon.last().op, "usage");
    EXPECT_EQ(daemon.last().entries, std::vector<UsageEntry>({{today(), "org.a", "A", 3}}));
    EXPECT_EQ(helper->tracker.dangMo()->tu, clock.now());
    ASSERT_TRUE(daemon.answer(0, withPolicy(policy(true))));
    EXPECT_TRUE(xong(report));
    EXPECT_FALSE(helper->manKhoa().isEmpty());
}

TEST_F(HelperTest, TimersReportAndTick) {
    make({10ms, 30ms});
    helper->m.setXin(X::Cho{"r", 30});
    helper->start();
    auto seen = [&](const std::string& op) {
        for (std::size_t i = 0; i < daemon.count(); ++i)
            if (daemon.request(i).op == op) return true;
        return false;
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return seen("usage") && seen("requestState"); }, 5000));
}

TEST_F(HelperTest, BlockedAppsAreClosedAndExplainedUnlessLocked) {
    helper->start();
    helper->m.setPolicy(hoc({"org.ok"}));
    for (const RunningApp& spared :
         {app(400, "org.game", "Tray", false), self, app(401, "ORG.OK", "Ok")})
        emit workspace.launched(spared);
    EXPECT_THAT(workspace.killed, IsEmpty());
    EXPECT_FALSE(helper->hop());

    const RunningApp nameless = app(402, "org.game", std::nullopt);
    emit workspace.launched(nameless);
    EXPECT_THAT(workspace.killed, ElementsAre(402));
    EXPECT_EQ(helper->m.appBiChan(), "App này");
    QPointer<QWidget> first = helper->hop();
    ASSERT_TRUE(first && first->findChild<ManKhongDuoc*>());
    EXPECT_THAT(chuHien(first), Contains(QString("App này chưa được mở lúc này")));

    // Its activation follows: counted, closed again, and the panel built anew.
    emit workspace.activated(nameless);
    EXPECT_EQ(helper->tracker.dangMo()->id, "org.game");
    EXPECT_THAT(workspace.killed, ElementsAre(402, 402));
    EXPECT_NE(helper->hop(), first);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !first; }, 5000));

    helper->m.setPolicy(policy(true));
    QWidget* panel = helper->hop();
    emit workspace.activated(game);
    EXPECT_THAT(workspace.killed, ElementsAre(402, 402, 300));
    EXPECT_EQ(helper->hop(), panel);
    EXPECT_EQ(helper->m.appBiChan(), "App này");
}

TEST_F(HelperTest, MenuPanelsReplaceEachOtherFitTheirContentAndClose) {
    helper->start();
    entry("TovuControl đang bật")->trigger();
    QPointer<QWidget> about = helper->hop();
    ASSERT_TRUE(about && about->findChild<ManGioiThieu*>());
    EXPECT_EQ(about->windowTitle(), "TovuControl");
    EXPECT_TRUE(about->isVisible());
    EXPECT_TRUE(about->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(about->geometry().center(),
              QGuiApplication::primaryScreen()->availableGeometry().center());

    helper->m.setXin(X::TuChoi{});
    entry("Xin thêm thời gian…")->trigger();
    EXPECT_EQ(helper->m.xin(), X(X::ChuaXin{}));
    QWidget* panel = helper->hop();
    auto* box = panel->findChild<HopXin*>();
    ASSERT_TRUE(box);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !about; }, 5000));
    EXPECT_EQ(panel->size(), box->sizeHint());

    helper->m.setXin(X::Cho{"r", 30});
    const int form = panel->height();
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel->height() == box->sizeHint().height(); }, 5000));
    EXPECT_NE(panel->height(), form);
    entry("Xin thêm thời gian…")->trigger();
    EXPECT_EQ(helper->m.xin(), X(X::Cho{"r", 30}));

    QPointer<QWidget> request = helper->hop();
    nut(request, "Đóng")->click();
    EXPECT_FALSE(helper->hop());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !request; }, 5000));
}

TEST_F(HelperTest, SleepStopsCountingAndWakeCountsTheFrontAppAgain) {
    helper->start();
    workspace.front = app(100, "org.a", "A");
    emit session.awake();
    clock.advance(60s);
    emit session.asleep();
    EXPECT_FALSE(helper->tracker.dangMo());
    clock.advance(120s);
    emit session.awake();
    EXPECT_EQ(helper->tracker.dangMo(), (UsageTracker::DangMo{"org.a", clock.now()}));
    EXPECT_EQ(helper->tracker.giay().at(today()).at("org.a"), 60);
}

TEST_F(HelperTest, NothingIsCountedWhileNoAppIsInFront) {
    helper->start();
    emit workspace.activated(app(100, "org.a", "A"));
    clock.advance(60s);
    emit workspace.deactivated();
    EXPECT_FALSE(helper->tracker.dangMo());
    clock.advance(120s);
    emit workspace.activated(app(100, "org.a", "A"));
    EXPECT_EQ(helper->tracker.dangMo(), (UsageTracker::DangMo{"org.a", clock.now()}));
    EXPECT_EQ(helper->tracker.giay().at(today()).at("org.a"), 60);
}

} // namespace
} // namespace tovu::test
