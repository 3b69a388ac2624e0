#include "Helper.hpp"
#include "QtTestSupport.hpp"
#include "TovuProtocol/Iso.hpp"
#include "Views/HopXin.hpp"
#include "Views/ManGioiThieu.hpp"
#include "Views/ManKhoa.hpp"
#include "Views/ManKhongDuoc.hpp"
#include "platform/LinuxStatusItem.hpp"
#include "platform/Session.hpp"
#include "platform/Workspace.hpp"
#include "support/FakeLogind.hpp"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <climits>
#include <unistd.h>

namespace {

// An entry of the menu's EventGroup, as any program of the session may send it.
struct MenuClick {
    int id = 0;
    QString event;
    QDBusVariant data;
    uint time = 0;
};

QDBusArgument& operator<<(QDBusArgument& a, const MenuClick& c) {
    a.beginStructure();
    a << c.id << c.event << c.data << c.time;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, MenuClick& c) {
    a.beginStructure();
    a >> c.id >> c.event >> c.data >> c.time;
    a.endStructure();
    return a;
}

} // namespace

Q_DECLARE_METATYPE(MenuClick)

namespace tovu::test {
namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

using namespace std::chrono_literals;
using X = TrangThaiXin;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::UnorderedElementsAreArray;

const std::string khongChay = "Dịch vụ TovuControl không chạy";
const std::string khongTraLoi = "Dịch vụ không trả lời";

TEST_F(ModelTest, RefreshKeepsTheLastPolicyClearsOnlyTheNotRunningMessageAndTheLastWins) {
    using Opt = std::optional<std::string>;
    // Error shown before, answer, then online and error expected; the policy stays throughout.
    const std::tuple<Opt, IpcResponse, bool, Opt> cases[] = {
        {khongChay, tra().policy(policy(true)), true, std::nullopt},
        {std::nullopt, tra(false).error(khongChay), true, khongChay},
        // No policy: the last one stays; a missing online flag reads as offline.
        {khongTraLoi, tra(), false, khongTraLoi},
        {khongTraLoi, tra(false), false, std::nullopt},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto& [loiTruoc, answer, online, loi] = cases[i];
        m.setLoi(loiTruoc);
        m.lamMoi();
        ASSERT_TRUE(daemon.answer(i, answer));
        EXPECT_EQ(m.policy(), policy(true));
        EXPECT_EQ(m.online(), online);
        EXPECT_EQ(m.loi(), loi);
    }

    // Of two refreshes, the one that completes last decides.
    m.lamMoi();
    m.lamMoi();
    ASSERT_TRUE(daemon.answer(5, tra().policy(policy(true, "het_gio"))));
    ASSERT_TRUE(daemon.answer(4, tra().policy(policy(), false)));
    EXPECT_EQ(m.policy(), policy());
    EXPECT_FALSE(m.online());
}

TEST_F(ModelTest, RequestOutcomes) {
    const std::string noi = "Không gửi được tới máy chủ";
    // Exchange or not, minutes, answer, then the request state and error expected.
    const std::tuple<bool, int, IpcResponse, X, std::optional<std::string>> cases[] = {
        {false, 30, tra().result("r1", "tu_duyet"), X::Cho{"r1", 30}, std::nullopt},
        {false, 60, tra(), X::ChuaXin{}, "Chưa gửi được"},
        {true, 15, tra(false).error(noi), X::ChuaXin{}, noi},
        {true, 30, tra().result("d2", "cho"), X::Cho{"d2", 30}, std::nullopt},
        {true, 30, tra().result("d3", "het_diem"), X::DoiKhong{}, std::nullopt},
        {true, 15, tra().result("d1", "tu_duyet"), X::DoiDuoc{15}, std::nullopt},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto& [doiDiem, phut, answer, xin, loi] = cases[i];
        m.setLoi("cũ");
        auto t = doiDiem ? m.doiDiem(phut) : m.guiXin(phut, "", std::nullopt, std::nullopt);
        EXPECT_EQ(m.xin(), X(X::DangGui{}));
        ASSERT_TRUE(daemon.answer(i, answer));
        EXPECT_EQ(m.xin(), xin);
        EXPECT_EQ(m.loi(), loi);
    }
    // Only the exchange accepted at once fetches the new policy.
    EXPECT_EQ(daemon.count(), std::size(cases) + 1);
    EXPECT_EQ(daemon.last(), R"({"op":"policy"})");

    // An answer arriving after the model is gone is dropped.
    auto gone = std::make_unique<HelperModel>(clock);
    gone->call = daemon.call();
    auto late = gone->guiXin(30, "", std::nullopt, std::nullopt);
    gone.reset();
    ASSERT_TRUE(daemon.answer(daemon.count() - 1, tra().result("r", "cho")));
    EXPECT_TRUE(xong(late));
}

TEST_F(ModelTest, PollMovesAWaitingRequestOnlyOnAUsableAnswerToIt) {
    auto none = m.hoiLoiXin();
    EXPECT_EQ(daemon.count(), 0u);

    const std::string ends = "2025-03-01T11:00:00Z";
    const Time end = *Iso::parse(ends);
    const X waiting = X::Cho{"r1", 60};
    const std::pair<IpcResponse, X> cases[] = {
        {tra(false).error("x"), waiting},
        {tra().state("duoc", 60, "ngày mai"), waiting},
        {tra().state("la", 60, ends), waiting},
        {tra().state("tu_choi"), X::TuChoi{}},
        {tra().state("thay"), X::TuChoi{}},
        {tra().state("duoc", 45, ends), X::Duoc{45, end}},
        // Without the granted amount, the minutes asked are shown.
        {tra().state("duoc", std::nullopt, ends), X::Duoc{60, end}},
    };
    m.setLoi(khongTraLoi);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        m.setXin(waiting);
        auto t = m.hoiLoiXin();
        ASSERT_TRUE(daemon.answer(daemon.count() - 1, cases[i].first));
        EXPECT_EQ(m.xin(), cases[i].second);
        // Only a grant fetches the new policy.
        EXPECT_EQ(daemon.last(), cases[i].second.is<X::Duoc>()
                                     ? R"({"op":"policy"})"
                                     : R"({"id":"r1","op":"requestState"})");
    }
    EXPECT_EQ(m.loi(), khongTraLoi);

    // A late answer cannot overwrite a newer request.
    m.setXin(X::Cho{"old", 30});
    auto poll = m.hoiLoiXin();
    m.setXin(X::ChuaXin{});
    auto send = m.guiXin(60, "", std::nullopt, std::nullopt);
    const std::size_t asked = daemon.count() - 2;
    ASSERT_TRUE(daemon.answer(asked + 1, tra().result("new", "cho")));
    ASSERT_TRUE(daemon.answer(asked, tra().state("tu_choi")));
    EXPECT_TRUE(xong(poll));
    EXPECT_EQ(m.xin(), X(X::Cho{"new", 60}));
}

using ViewsTest = ModelTest;

// Whether the visible choice labelled text is the one chosen.
bool chon(const QWidget* root, const QString& text) {
    return nut(root, text) && nut(root, text)->isChecked();
}

// The box as the menu opens it, with a way to close it (inside the lock screen it has none).
TEST_F(ViewsTest, AskingFormSendsOnceAndAnswersHideItUntilAskedAgain) {
    bool closed = false;
    HopXin box(m, "com.roblox.roblox", "Roblox", false, 60, QString(), [&] { closed = true; });
    box.show();
    EXPECT_THAT(chuHien(&box), UnorderedElementsAreArray(QStringList{
                                   "Xin thêm thời gian", "Bố mẹ nhận lời xin trên điện thoại.",
                                   "30 phút", "1 giờ", "2 giờ", "Gửi bố mẹ", "Đóng"}));
    EXPECT_TRUE(chon(&box, "1 giờ"));
    auto* note = box.findChild<QLineEdit*>("loiNhan");
    EXPECT_TRUE(note->isVisibleTo(&box));
    EXPECT_EQ(note->placeholderText(), "Lời nhắn cho bố mẹ (không bắt buộc)");

    nut(&box, "2 giờ")->click();
    // Return in the note sends; the second finds the button disabled while sending.
    QTest::keyClicks(note, "xong bai roi");
    QTest::keyClick(note, Qt::Key_Return);
    QTest::keyClick(note, Qt::Key_Return);
    ASSERT_EQ(daemon.count(), 1u);
    EXPECT_EQ(daemon.last(), R"({"appId":"com.roblox.roblox","appName":"Roblox","kind":"them_gio",)"
                             R"("minutes":120,"note":"xong bai roi","op":"request"})");
    EXPECT_TRUE(nut(&box, "Đang gửi…"));
    EXPECT_FALSE(nut(&box, "Đóng"));
    ASSERT_TRUE(daemon.answer(0, tra(false)));

    const Time end = *Iso::parse("2025-03-01T18:30:00Z");
    const std::pair<X, QStringList> states[] = {
        // The waiting state shows the minutes asked, whatever is chosen now.
        {X::Cho{"r", 30}, {"Đang chờ bố mẹ…", "Con xin 30 phút. Máy tự mở khi bố mẹ đồng ý."}},
        {X::Duoc{60, end},
         {"Bố mẹ cho thêm 1 giờ", "Máy mở đến " + Kieu::gioPhut(end) + " rồi tự khoá lại."}},
        {X::DoiDuoc{15}, {"Đổi được 15 phút!", "Bố mẹ sẽ thấy trong danh sách yêu cầu."}},
        {X::DoiKhong{},
         {"Chưa đổi được lúc này", "Có thể chưa đủ điểm hoặc đã đổi tối đa hôm nay.",
          "Xin bố mẹ thay vì đổi điểm"}},
        {X::TuChoi{}, {"Bố mẹ chưa đồng ý lần này", "Xin lại"}},
    };
    for (const auto& [xin, texts] : states) {
        m.setXin(xin);
        EXPECT_THAT(chuHien(&box), UnorderedElementsAreArray(texts + QStringList{"Đóng"}));
        // A button back to the form comes last; the choice, the note and the error stay.
        if (QAbstractButton* back = nut(&box, texts.back())) {
            back->click();
            EXPECT_EQ(m.xin(), X(X::ChuaXin{}));
            EXPECT_TRUE(chon(&box, "2 giờ"));
            EXPECT_EQ(note->text(), "xong bai roi");
            EXPECT_THAT(chuHien(&box), Contains(QString("Chưa gửi được")));
        }
    }
    nut(&box, "Đóng")->click();
    EXPECT_TRUE(closed);
}

TEST_F(ViewsTest, LockScreenByReasonAndExchangeRights) {
    ManKhoa screen(m, false);
    auto* mode = screen.findChild<QAbstractButton*>("nutDoi");
    auto shows = [&](const QStringList& texts, bool box, bool doi) {
        SCOPED_TRACE(texts.front().toStdString());
        EXPECT_THAT(chuHien(&screen), IsSupersetOf(texts));
        EXPECT_EQ(screen.findChild<HopXin*>()->isVisibleTo(&screen), box);
        EXPECT_EQ(mode->isVisibleTo(&screen), doi);
    };
    shows({"Máy đang khoá", "Máy của con do bố mẹ quản lý bằng TovuControl."}, true, false);
    // The screen follows the model in place. Bedtime offers nothing, even with exchanges.
    Policy p = policy(true, "ngu");
    p.canExchangePoints = true;
    m.setPolicy(p);
    shows({"Đến giờ ngủ rồi", "Ngủ ngon nhé Bin! Sáng mai máy mở lại."}, false, false);
    m.setPolicy(policy(true, "het_gio"));
    shows({"Hết giờ hôm nay", "Máy của Bin do bố mẹ quản lý bằng TovuControl."}, true, false);
    p.lockReason = "het_gio";
    m.setPolicy(p);
    shows({"Đổi điểm lấy thời gian"}, true, true);

    // The request names no app; the mode button goes while it is sent and waits, and comes
    // back after.
    nut(&screen, "Gửi bố mẹ")->click();
    EXPECT_EQ(daemon.last(), R"({"kind":"them_gio","minutes":60,"note":"","op":"request"})");
    EXPECT_FALSE(mode->isVisibleTo(&screen));
    ASSERT_TRUE(daemon.answer(0, tra().result("r", "cho")));
    EXPECT_FALSE(mode->isVisibleTo(&screen));
    m.setXin(X::ChuaXin{});
    EXPECT_TRUE(mode->isVisibleTo(&screen));
    EXPECT_EQ(mode->focusPolicy(), Qt::NoFocus);
    const auto* box = screen.findChild<HopXin*>();
    mode->click();
    EXPECT_EQ(mode->text(), "Xin bố mẹ");
    // The exchange form offers only its own choices and no note. (What it sends, and the line
    // shown offline, on the lock program's screens: LockScreenTests.)
    EXPECT_THAT(chuHien(box), UnorderedElementsAreArray(QStringList{
                                  "Đổi điểm lấy thời gian", "Nếu con đủ điểm, máy mở ngay.",
                                  "15 phút", "30 phút", "Đổi điểm"}));
    EXPECT_FALSE(box->findChild<QLineEdit*>("loiNhan")->isVisibleTo(box));
}

TEST_F(ViewsTest, NotAllowedScreenExplainsAndAsksForTheApp) {
    int closed = 0;
    m.setPolicy(policy(true, "het_gio"));
    ManKhongDuoc screen(
        m, "Roblox", "com.roblox.roblox", [&] { ++closed; }, false);
    auto* reason = screen.findChild<QLabel*>("lyDo");
    EXPECT_EQ(reason->text(), "Hết giờ hôm nay.");
    m.setPolicy(policy());
    EXPECT_EQ(reason->text(), "Bây giờ là giờ Chỉ app học. Bố mẹ chọn app được dùng.");
    EXPECT_THAT(chuHien(&screen), IsSupersetOf(QStringList{"Roblox chưa được mở lúc này"}));

    nut(&screen, "Để sau")->click();
    EXPECT_EQ(closed, 1);
    nut(&screen, "Xin bố mẹ mở Roblox")->click();
    EXPECT_THAT(chuHien(&screen), Not(Contains(QString("Roblox chưa được mở lúc này"))));
    nut(&screen, "Gửi bố mẹ")->click();
    EXPECT_EQ(daemon.last(), R"({"appId":"com.roblox.roblox","appName":"Roblox","kind":"them_gio",)"
                             R"("minutes":60,"note":"","op":"request"})");
}

class FakeWorkspace final : public Workspace {
public:
    std::vector<RunningApp> runningApps() const override { return apps; }
    std::optional<RunningApp> frontmostApp() const override { return front; }
    void forceTerminate(const RunningApp& app) override { killed.push_back(app.pid); }

    std::vector<RunningApp> apps;
    std::optional<RunningApp> front;
    std::vector<pid_t> killed;
};

class FakeStatusItem final : public StatusItem {
public:
    void show(const QIcon&, QMenu*) override {}
    void setTitle(const QString&) override {}
    void notify(const QString&, const QString&) override {}
};

Policy hoc(std::vector<std::string> allowed) {
    Policy p = policy();
    p.mode = "hoc";
    p.allowedApps = std::move(allowed);
    return p;
}

class HelperTest : public ::testing::Test {
protected:
    void SetUp() override { make(fakeItem); }

    // Timers that never fire within a test: each test drives the helper itself.
    void make(StatusItem& item) {
        helper = std::make_unique<Helper>(workspace, session, item, clock, HelperIntervals{1h, 1h});
        helper->m.call = daemon.call();
    }
    // 0: "TovuControl đang bật", 2: "Xin thêm thời gian…".
    QAction* entry(int i) const { return helper->menu()->actions().at(i); }
    std::string today() const { return UsageTracker::ngay(clock.now()); }
    void apDung(const Policy& p = policy(true)) {
        helper->m.setPolicy(p);
        helper->apDung();
    }

    // Declared first, so that the helper goes before the calls still open are released.
    FakeDaemon daemon;
    FakeWorkspace workspace;
    Session session;
    FakeStatusItem fakeItem;
    ManualClock clock{utcTime(2025, 3, 1, 10, 0)};
    std::unique_ptr<Helper> helper;

    const RunningApp front = {100, "org.a", "A", true};
    const RunningApp game = {300, "org.game", "Game", true};
};

TEST_F(HelperTest, StartUpRestoresUsageCountsTheFrontAppThenEnforcesOnlyAPolicy) {
    workspace.front = front;
    workspace.apps = {game};
    helper->start();
    EXPECT_EQ(daemon.last(), R"({"op":"usageToday"})");
    EXPECT_FALSE(helper->tracker.dangMo());

    // Stored minutes count even when the daemon reports a failure with them.
    ASSERT_TRUE(daemon.answer(0, tra(false).entries({{today(), "org.b", "B", 5}})));
    EXPECT_EQ(helper->tracker.giay().at(today()).at("org.b"), 300);
    EXPECT_EQ(helper->tracker.dangMo(), (UsageTracker::DangMo{"org.a", clock.now()}));
    EXPECT_EQ(daemon.last(), R"({"op":"policy"})");
    ASSERT_TRUE(daemon.answer(1, tra(false).error(khongChay)));
    emit workspace.launched(game);
    EXPECT_THAT(workspace.killed, IsEmpty());
    EXPECT_FALSE(helper->hop());

    // The usage report books up to now, sends today's minutes and applies the answer.
    clock.advance(3min + 10s);
    helper->guiUsage();
    EXPECT_THAT(daemon.last(), ::testing::HasSubstr(R"({"appId":"org.a","appName":"A","day":")" +
                                                    today() + R"(","minutes":3})"));
    EXPECT_EQ(helper->tracker.dangMo()->tu, clock.now());
    ASSERT_TRUE(daemon.answer(2, tra().policy(policy(true, "het_gio"))));
    EXPECT_THAT(workspace.killed, ElementsAre(300));
}

// The lock screen is not the agent's; while it holds, the agent only closes what is open or
// opens, without a word.
TEST_F(HelperTest, LockedOrInLearningModeSweepsTheAppsUntilLifted) {
    helper->start();
    // Accessory apps and the agent itself stay.
    workspace.apps = {game,
                      {301, "org.tray", "Tray", false},
                      {getpid(), "org.self", "Self", true},
                      {303, "org.ok", "Ok", true}};
    apDung();
    emit workspace.launched(game);
    EXPECT_THAT(workspace.killed, ElementsAre(300, 303, 300));
    EXPECT_FALSE(helper->hop());
    workspace.killed.clear();
    apDung(hoc({"org.ok"}));
    EXPECT_THAT(workspace.killed, ElementsAre(300));
    apDung(policy());
    EXPECT_THAT(workspace.killed, ElementsAre(300));
}

TEST_F(HelperTest, EveryTickCallsTheDaemonAndAnEndedGrantAsksForThePolicy) {
    Policy granted = policy();
    granted.grantEndsAt = "2025-03-01T10:01:00Z";
    helper->m.setPolicy(granted);
    clock.advance(30s);
    // Nothing else to ask: the policy, so that the daemon knows the session is still covered.
    helper->nhip();
    EXPECT_EQ(helper->m.now(), clock.now());
    EXPECT_EQ(daemon.last(), R"({"op":"policy"})");
    ASSERT_TRUE(daemon.answer(0, tra().policy(granted)));

    helper->m.setXin(X::Cho{"r", 30});
    helper->nhip();
    EXPECT_EQ(daemon.last(), R"({"id":"r","op":"requestState"})");
    ASSERT_TRUE(daemon.answer(1, tra()));
    EXPECT_EQ(daemon.count(), 2u);

    // The grant has ended, at the very second: the tick asks for the policy as well.
    clock.advance(30s);
    helper->nhip();
    ASSERT_TRUE(daemon.answer(2, tra()));
    EXPECT_EQ(daemon.last(), R"({"op":"policy"})");
    ASSERT_TRUE(daemon.answer(3, tra().policy(policy(true, "het_gio"))));
    EXPECT_EQ(helper->m.policy(), policy(true, "het_gio"));
    EXPECT_EQ(daemon.count(), 4u);
}

TEST_F(HelperTest, BlockedAppsAreClosedAndExplained) {
    helper->start();
    helper->m.setPolicy(hoc({"org.ok"}));
    const RunningApp nameless = {402, "org.game", std::nullopt, true};
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
    EXPECT_TRUE(waitFor([&] { return !first; }));
}

// Where the agent sees no window (Wayland), the daemon ends the app and says so with the policy.
TEST_F(HelperTest, AProgramTheDaemonEndedJustNowIsExplainedOnce) {
    const auto at = [&](std::chrono::seconds ago) { return Iso::format(clock.now() - ago); };
    const EndedApp notNow{"org.game", "Game", std::string(EndedApp::notNow), at(3s)};
    struct Case {
        Policy policy;
        EndedApp ended;
        std::optional<QString> shows; // the reason line, when a panel shows
    };
    for (const Case& c :
         {Case{hoc({}), notNow, "Bây giờ là giờ Chỉ app học. Bố mẹ chọn app được dùng."},
          Case{hoc({}),
               {"/home/bin/game", "game", "chương trình con tự chép hoặc tự viết", at(3s)},
               "TovuControl đã đóng game: chương trình con tự chép hoặc tự viết."},
          Case{hoc({}), {"org.game", "Game", std::string(EndedApp::notNow), at(2min)}, {}},
          Case{policy(true, "het_gio"), notNow, {}}}) {
        SCOPED_TRACE(c.ended.appName + " " + c.ended.at);
        make(fakeItem);
        helper->start();
        helper->m.setPolicy(c.policy);
        const std::size_t n = daemon.count();
        helper->nhip();
        ASSERT_TRUE(daemon.answer(n, tra().policy(c.policy).ended(c.ended)));
        QPointer<QWidget> panel = helper->hop();
        EXPECT_EQ(panel != nullptr, c.shows.has_value());
        if (!panel) continue;
        EXPECT_THAT(chuHien(panel), Contains(Kieu::qs(c.ended.appName) + " chưa được mở lúc này"));
        EXPECT_THAT(chuHien(panel), Contains(*c.shows));
        // The same end told again with the next policy is not told twice.
        helper->nhip();
        ASSERT_TRUE(daemon.answer(n + 1, tra().policy(c.policy).ended(c.ended)));
        EXPECT_EQ(helper->hop(), panel);
    }
}

// The desktop's side of a private session bus: a panel that watches for status items and shows
// their labels, and a notification server.
class Panel : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")

public:
    QStringList items;
    QStringList labels; // as announced

public slots:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString& service) { items << service; }
    void newLabel(const QString& label) { labels << label; }
};

class Notifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList shown;

public slots:
    Q_SCRIPTABLE uint Notify(const QString& app, uint, const QString&, const QString& summary,
                             const QString& body, const QStringList&, const QVariantMap&, int) {
        shown << app + ": " + summary + " " + body;
        return uint(shown.size());
    }
};

const QString watcherName = "org.kde.StatusNotifierWatcher";
const QString itemInterface = "org.kde.StatusNotifierItem";
const QStringList entries = {"1 TovuControl đang bật", "2 separator", "3 Xin thêm thời gian…"};

class StatusItemTest : public HelperTest {
protected:
    void SetUp() override {
        HelperTest::SetUp();
        desktop_ = QDBusConnection::connectToBus(address_, "desktop");
        ASSERT_TRUE(desktop_.registerObject("/StatusNotifierWatcher", &panel_,
                                            QDBusConnection::ExportScriptableSlots));
        ASSERT_TRUE(desktop_.registerObject("/org/freedesktop/Notifications", &notifications_,
                                            QDBusConnection::ExportScriptableSlots));
        ASSERT_TRUE(desktop_.registerService("org.freedesktop.Notifications"));
        ASSERT_TRUE(desktop_.connect("", "/StatusNotifierItem", itemInterface, "XAyatanaNewLabel",
                                     &panel_, SLOT(newLabel(QString))));
    }
    void TearDown() override {
        helper.reset();
        item_.reset();
        for (int i = 1; i <= agents_; ++i)
            QDBusConnection::disconnectFromBus(QString("agent%1").arg(i));
        QDBusConnection::disconnectFromBus("desktop");
    }

    // A new agent on a connection of its own, as after a restart.
    void startAgent() {
        helper.reset();
        item_ = std::make_unique<LinuxStatusItem>(
            QDBusConnection::connectToBus(address_, QString("agent%1").arg(++agents_)));
        make(*item_);
        helper->start();
    }

    QDBusMessage ask(const QString& path, const QString& interface, const QString& method,
                     const QVariantList& arguments) {
        auto message =
            QDBusMessage::createMethodCall(panel_.items.value(0), path, interface, method);
        message.setArguments(arguments);
        // The agent answers on this thread: the test must not block.
        QDBusPendingCall call = desktop_.asyncCall(message);
        EXPECT_TRUE(waitFor([&] { return call.isFinished(); }));
        return call.reply();
    }
    // The menu's entries as a panel gets them: "id label" (or "id type").
    QStringList menuEntries() {
        const QDBusMessage layout =
            ask("/MenuBar", "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()});
        if (layout.signature() != "u(ia{sv}av)") return {layout.errorMessage()};
        const auto root = layout.arguments().value(1).value<QDBusArgument>();
        int id = -1;
        QVariantMap properties;
        QVariantList children;
        root.beginStructure();
        root >> id >> properties >> children;
        root.endStructure();
        QStringList found;
        for (const QVariant& child : children) {
            const auto entry = child.value<QDBusArgument>();
            entry.beginStructure();
            entry >> id >> properties;
            entry.endStructure();
            found << QString::number(id) + " " +
                         properties.value("label", properties.value("type")).toString();
        }
        return found;
    }
    QVariantMap properties() {
        return qdbus_cast<QVariantMap>(
            ask("/StatusNotifierItem", "org.freedesktop.DBus.Properties", "GetAll", {itemInterface})
                .arguments()
                .value(0));
    }

    TempDir dir_;
    // The agent keeps its icon and its warnings in the session's runtime folder.
    ScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path().string()};
    SystemBus bus_;
    const QString address_ = QString::fromStdString(bus_.address());
    QDBusConnection desktop_{""};
    Panel panel_;
    Notifications notifications_;
    std::unique_ptr<LinuxStatusItem> item_;
    int agents_ = 0;
};

// Without a panel that watches, the tray holds the item, whenever the panel comes and goes.
TEST_F(StatusItemTest, ThePanelShowsTheMenuTitleAsLabelAndServesTheMenuOrElseTheTray) {
    startAgent();
    ASSERT_TRUE(item_->tray());
    apDung();
    EXPECT_EQ(item_->tray()->toolTip(), "Đã khoá");
    for (int shown = 1; shown <= 3; ++shown) {
        if (shown > 1) {
            ASSERT_TRUE(desktop_.unregisterService(watcherName));
            ASSERT_TRUE(waitFor([&] { return item_->tray(); }));
        }
        ASSERT_TRUE(desktop_.registerService(watcherName));
        ASSERT_TRUE(waitFor([&] { return panel_.items.size() == shown && !item_->tray(); }));
    }
    panel_.labels.clear();
    const QVariantMap p = properties();
    EXPECT_EQ(p.value("ItemIsMenu"), true);

    // Each change is announced once.
    Policy counting = policy(), minutes = policy(), granted = policy(true, "het_gio");
    counting.minutesLeft = 125;
    minutes.minutesLeft = -5;
    granted.grantEndsAt = "2025-03-01T11:02:05Z";
    for (const Policy& each : {counting, minutes, policy(true), granted}) {
        apDung(each);
        apDung(each);
    }
    clock.advance(5s);
    auto tick = helper->nhip();
    ASSERT_TRUE(daemon.answer(daemon.count() - 1, tra().policy(granted)));
    EXPECT_TRUE(xong(tick));
    const QVariantMap shown = properties();
    EXPECT_EQ(shown.value("XAyatanaLabel"), Kieu::qs(helper->m.tieuDeMenu()));
    EXPECT_TRUE(waitFor([&] { return panel_.labels.size() >= 5; }));
    EXPECT_EQ(panel_.labels, QStringList({"2g05", "-5 ph", "Đã khoá", "1:02:05", "1:02:00"}));

    EXPECT_EQ(p.value("Menu").value<QDBusObjectPath>().path(), "/MenuBar");
    EXPECT_EQ(menuEntries(), entries);
    // A click on an entry runs it (a group of clicks: below).
    ask("/MenuBar", "com.canonical.dbusmenu", "Event",
        {1, "clicked", QVariant::fromValue(QDBusVariant(0)), 0u});
    EXPECT_TRUE(
        waitFor([&] { return helper->hop() && helper->hop()->findChild<ManGioiThieu*>(); }));
}

TEST_F(StatusItemTest, WarnsOnceAtFiveMinutesAndOnceAtTheLastEvenAcrossARestart) {
    startAgent();
    auto left = [&](std::int64_t n, Policy p = policy()) {
        p.minutesLeft = n;
        apDung(p);
    };
    Policy granted = policy();
    granted.grantEndsAt = "2025-03-01T10:30:00Z";
    left(10), left(6), left(5), left(4);
    startAgent();
    left(4), left(2), left(1), left(1), left(0);
    // Minutes given back: told again on the way down, but not over a grant or a lock.
    left(20), left(3, granted), left(3, policy(true)), left(3);
    // Yesterday's warnings do not hold today.
    clock.advance(24h);
    helper->m.setNow(clock.now());
    left(4);
    ASSERT_TRUE(waitFor([&] { return notifications_.shown.size() >= 4; }));
    const QString save = " Con nhớ lưu lại bài đang làm nhé.";
    EXPECT_EQ(notifications_.shown, QStringList({"TovuControl: Còn 5 phút nữa là hết giờ" + save,
                                                 "TovuControl: Còn 1 phút nữa là hết giờ" + save,
                                                 "TovuControl: Còn 3 phút nữa là hết giờ" + save,
                                                 "TovuControl: Còn 4 phút nữa là hết giờ" + save}));
}

// Whatever another program of the session sends to the item and its menu (entries that do not
// exist, huge arrays, any depth, empty texts, read-only properties), the agent answers, with an
// error where the call names nothing it has, and goes on serving the panel. (Calls of the wrong
// form never reach it: the bus library answers them.)
TEST_F(StatusItemTest, JunkFromAnyProgramOfTheSessionIsAnsweredAndChangesNothing) {
    startAgent();
    ASSERT_TRUE(desktop_.registerService(watcherName));
    ASSERT_TRUE(waitFor([&] { return !panel_.items.isEmpty(); }));
    qDBusRegisterMetaType<MenuClick>();
    qDBusRegisterMetaType<QList<MenuClick>>();
    QSignalSpy about(entry(0), &QAction::triggered), asked(entry(2), &QAction::triggered);
    const QString menu = "com.canonical.dbusmenu", props = "org.freedesktop.DBus.Properties";
    const QVariant unknownIds = QVariant::fromValue(QList<int>(200000, 9));
    QList<int> everyId;
    for (int id = -100000; id < 100000; ++id)
        everyId << id;
    const QStringList names(100000, "label");
    auto clicks = [](int id) {
        return QVariant::fromValue(QList<MenuClick>(100000, {id, "clicked", QDBusVariant(0), 0}));
    };
    QDBusVariant deep(0);
    for (int i = 0; i < 30; ++i)
        deep = QDBusVariant(QVariant::fromValue(deep));
    auto v = [](const QVariant& value) { return QVariant::fromValue(QDBusVariant(value)); };
    const struct {
        QString path, interface, method;
        QVariantList arguments;
        bool error;
    } cases[] = {
        {"/MenuBar", menu, "GetLayout", {7, 0, QStringList()}, true},
        {"/MenuBar", menu, "GetLayout", {-1, -1, QStringList{""}}, true},
        {"/MenuBar", menu, "GetLayout", {0, INT_MAX, names}, false},
        {"/MenuBar", menu, "GetLayout", {3, INT_MIN, QStringList{""}}, false},
        {"/MenuBar", menu, "GetGroupProperties", {unknownIds, QStringList()}, true},
        {"/MenuBar", menu, "GetGroupProperties", {QVariant::fromValue(everyId), names}, false},
        {"/MenuBar", menu, "GetProperty", {7, "label"}, true},
        {"/MenuBar", menu, "GetProperty", {1, ""}, true},
        {"/MenuBar", menu, "Event", {7, "clicked", v(0), 0u}, true},
        {"/MenuBar", menu, "Event", {2, "clicked", QVariant::fromValue(deep), UINT_MAX}, false},
        {"/MenuBar", menu, "Event", {1, "", v(""), 0u}, false},
        {"/MenuBar", menu, "EventGroup", {clicks(-5)}, true},
        {"/MenuBar", menu, "EventGroup", {clicks(3)}, false},
        {"/MenuBar", menu, "AboutToShow", {INT_MIN}, true},
        {"/MenuBar", menu, "AboutToShowGroup", {unknownIds}, true},
        {"/MenuBar", menu, "AboutToShowGroup", {QVariant::fromValue(everyId)}, false},
        {"/MenuBar", props, "Set", {menu, "Version", v(9u)}, true},
        {"/StatusNotifierItem", itemInterface, "Activate", {INT_MIN, INT_MAX}, false},
        {"/StatusNotifierItem", props, "Set", {itemInterface, "Status", v("Passive")}, true},
    };
    for (const auto& c : cases) {
        const QDBusMessage reply = ask(c.path, c.interface, c.method, c.arguments);
        EXPECT_EQ(reply.type() == QDBusMessage::ErrorMessage, c.error)
            << c.method.toStdString() << " " << reply.errorMessage().toStdString();
    }
    EXPECT_EQ(menuEntries(), entries);
    EXPECT_EQ(properties().value("Status"), "Active");
    // 100,000 clicks in one call open the request box once; events that are no click, or on the
    // separator, do nothing.
    EXPECT_TRUE(waitFor([&] { return helper->hop() && helper->hop()->findChild<HopXin*>(); }));
    EXPECT_EQ(asked.count(), 1);
    EXPECT_EQ(about.count(), 0);
}

} // namespace
} // namespace tovu::test

#include "HelperTests.moc"
