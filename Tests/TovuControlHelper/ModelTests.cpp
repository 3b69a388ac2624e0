#include "QtTestSupport.hpp"
#include "TovuCore/Iso.hpp"
#include "support/Support.hpp"

#include <QSignalSpy>
#include <QThread>

namespace tovu::test {
namespace {

using namespace std::chrono_literals;
using X = TrangThaiXin;

const std::string khongChay = "Dịch vụ TovuControl không chạy";

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override { m.call = daemon.call(); }

    IpcResponse withPolicy(Policy p, std::optional<bool> online = true) {
        IpcResponse r = ok();
        r.policy = std::move(p);
        r.online = online;
        return r;
    }
    IpcResponse withResult(std::string id, std::string status) {
        IpcResponse r = ok();
        r.result = RequestResult{std::move(id), std::move(status), std::nullopt};
        return r;
    }
    IpcResponse withState(std::string status, std::optional<std::int64_t> minutes,
                          std::optional<std::string> ends) {
        IpcResponse r = ok();
        r.state = RequestState{std::move(status), minutes, std::move(ends)};
        return r;
    }

    FakeDaemon daemon;
    ManualClock clock{utcTime(2025, 3, 1, 10, 0)};
    HelperModel m{clock};
};

TEST_F(ModelTest, RefreshAsksForPolicyOrReportsUsageEvenWhenEmpty) {
    auto a = m.lamMoi();
    auto b = m.lamMoi(std::vector<UsageEntry>{});
    UsageEntry e{"2025-03-01", "org.x", "X", 3};
    auto c = m.lamMoi(std::vector<UsageEntry>{e});
    ASSERT_EQ(daemon.count(), 3u);
    EXPECT_EQ(daemon.request(0), IpcRequest(yeuCau("policy")));
    EXPECT_EQ(daemon.request(1).op, "usage");
    ASSERT_TRUE(daemon.request(1).entries);
    EXPECT_TRUE(daemon.request(1).entries->empty());
    EXPECT_EQ(daemon.request(2).entries, std::vector<UsageEntry>{e});
    for (std::size_t i = 0; i < 3; ++i)
        ASSERT_TRUE(daemon.answer(i, ok()));
    EXPECT_TRUE(a.isReady() && b.isReady() && c.isReady());
}

TEST_F(ModelTest, RefreshStoresPolicyOnlineAndClearsOnlyTheNotRunningMessage) {
    m.setLoi(khongChay);
    auto t = m.lamMoi();
    ASSERT_TRUE(daemon.answer(0, withPolicy(policy(true), false)));
    EXPECT_TRUE(xong(t));
    EXPECT_EQ(m.policy(), policy(true));
    EXPECT_FALSE(m.online());
    EXPECT_FALSE(m.loi());

    // No policy in the answer: the last one stays; a missing online flag reads as offline.
    m.setOnline(true);
    m.setLoi("Dịch vụ không trả lời");
    auto u = m.lamMoi();
    ASSERT_TRUE(daemon.answer(1, ok()));
    EXPECT_EQ(m.policy(), policy(true));
    EXPECT_FALSE(m.online());
    EXPECT_EQ(m.loi(), "Dịch vụ không trả lời");
}

TEST_F(ModelTest, FailedRefreshKeepsPolicyAndShowsOrClearsTheError) {
    m.setPolicy(policy());
    auto a = m.lamMoi();
    ASSERT_TRUE(daemon.answer(0, failed(khongChay)));
    EXPECT_EQ(m.loi(), khongChay);
    EXPECT_EQ(m.policy(), policy());
    EXPECT_TRUE(m.online());

    auto b = m.lamMoi();
    ASSERT_TRUE(daemon.answer(1, failed(std::nullopt)));
    EXPECT_FALSE(m.loi());
}

TEST_F(ModelTest, TheRefreshThatCompletesLastDecides) {
    Policy first = policy(false);
    Policy second = policy(true, "het_gio");
    auto a = m.lamMoi();
    auto b = m.lamMoi();
    ASSERT_TRUE(daemon.answer(1, withPolicy(second, true)));
    ASSERT_TRUE(daemon.answer(0, withPolicy(first, false)));
    EXPECT_EQ(m.policy(), first);
    EXPECT_FALSE(m.online());

    auto c = m.lamMoi();
    auto d = m.lamMoi();
    ASSERT_TRUE(daemon.answer(2, withPolicy(first, false)));
    ASSERT_TRUE(daemon.answer(3, withPolicy(second, true)));
    EXPECT_EQ(m.policy(), second);
    EXPECT_TRUE(m.online());
}

TEST_F(ModelTest, AskingSendsTheRequestAndWaitsForTheParents) {
    m.setLoi("cũ");
    auto t = m.guiXin(30, "", "com.roblox.roblox", "Roblox");
    EXPECT_EQ(m.xin(), X(X::DangGui{}));
    EXPECT_EQ(daemon.last(), IpcRequest(yeuCau("request")
                                            .kind("them_gio")
                                            .minutes(30)
                                            .appId("com.roblox.roblox")
                                            .appName("Roblox")
                                            .note("")));
    ASSERT_TRUE(daemon.answer(0, withResult("r1", "tu_duyet")));
    EXPECT_TRUE(xong(t));
    EXPECT_EQ(m.xin(), X(X::Cho{"r1", 30}));
    EXPECT_FALSE(m.loi());
}

TEST_F(ModelTest, FailedRequestsReturnToTheFormWithAMessage) {
    auto a = m.guiXin(60, "con xin", std::nullopt, std::nullopt);
    ASSERT_TRUE(daemon.answer(0, ok()));
    EXPECT_EQ(m.xin(), X(X::ChuaXin{}));
    EXPECT_EQ(m.loi(), "Chưa gửi được");

    auto b = m.doiDiem(15);
    ASSERT_TRUE(daemon.answer(1, failed("Không gửi được tới máy chủ")));
    EXPECT_EQ(m.xin(), X(X::ChuaXin{}));
    EXPECT_EQ(m.loi(), "Không gửi được tới máy chủ");
}

TEST_F(ModelTest, ExchangeOutcomes) {
    auto a = m.doiDiem(15);
    EXPECT_EQ(daemon.last(), IpcRequest(yeuCau("request").kind("doi_diem").minutes(15)));
    ASSERT_TRUE(daemon.answer(0, withResult("d1", "tu_duyet")));
    EXPECT_EQ(m.xin(), X(X::DoiDuoc{15}));
    // Accepted at once: the new policy is fetched.
    ASSERT_EQ(daemon.count(), 2u);
    EXPECT_EQ(daemon.last().op, "policy");
    ASSERT_TRUE(daemon.answer(1, withPolicy(policy())));
    EXPECT_TRUE(xong(a));
    EXPECT_EQ(m.policy(), policy());

    auto b = m.doiDiem(30);
    ASSERT_TRUE(daemon.answer(2, withResult("d2", "cho")));
    EXPECT_EQ(m.xin(), X(X::Cho{"d2", 30}));

    auto c = m.doiDiem(30);
    ASSERT_TRUE(daemon.answer(3, withResult("d3", "het_diem")));
    EXPECT_EQ(m.xin(), X(X::DoiKhong{}));
    EXPECT_EQ(daemon.count(), 4u);
}

TEST_F(ModelTest, PollMovesAWaitingRequestOnlyOnAUsableAnswer) {
    auto none = m.hoiLoiXin();
    EXPECT_EQ(daemon.count(), 0u);

    m.setXin(X::Cho{"r1", 60});
    m.setLoi("Dịch vụ không trả lời");
    const std::vector<IpcResponse> noChange{failed("x"),
                                            ok(),
                                            withState("cho", {}, {}),
                                            withState("duoc", 60, {}),
                                            withState("duoc", 60, "ngày mai"),
                                            withState("la", 60, "2025-03-01T11:00:00Z")};
    for (const IpcResponse& answer : noChange) {
        auto t = m.hoiLoiXin();
        EXPECT_EQ(daemon.last(), IpcRequest(yeuCau("requestState").id("r1")));
        ASSERT_TRUE(daemon.answer(daemon.count() - 1, answer));
        EXPECT_EQ(m.xin(), X(X::Cho{"r1", 60}));
    }
    EXPECT_EQ(m.loi(), "Dịch vụ không trả lời");

    for (const char* status : {"tu_choi", "thay"}) {
        m.setXin(X::Cho{"r1", 60});
        auto t = m.hoiLoiXin();
        ASSERT_TRUE(daemon.answer(daemon.count() - 1, withState(status, {}, {})));
        EXPECT_EQ(m.xin(), X(X::TuChoi{}));
    }
}

TEST_F(ModelTest, GrantedPollShowsTheGrantAndRefreshes) {
    const auto end = *Iso::parse("2025-03-01T11:00:00Z");
    m.setXin(X::Cho{"r1", 60});
    auto a = m.hoiLoiXin();
    ASSERT_TRUE(daemon.answer(0, withState("duoc", 45, "2025-03-01T11:00:00Z")));
    EXPECT_EQ(m.xin(), X(X::Duoc{45, end}));
    ASSERT_EQ(daemon.count(), 2u);
    EXPECT_EQ(daemon.last().op, "policy");
    ASSERT_TRUE(daemon.answer(1, withPolicy(policy())));
    EXPECT_TRUE(xong(a));

    // Without the granted amount, the minutes asked are shown.
    m.setXin(X::Cho{"r2", 120});
    auto b = m.hoiLoiXin();
    ASSERT_TRUE(daemon.answer(2, withState("duoc", {}, "2025-03-01T11:00:00Z")));
    EXPECT_EQ(m.xin(), X(X::Duoc{120, end}));
    ASSERT_TRUE(daemon.answer(3, ok()));
}

TEST_F(ModelTest, ALatePollCannotOverwriteANewerRequest) {
    m.setXin(X::Cho{"old", 30});
    auto poll = m.hoiLoiXin();
    m.setXin(X::ChuaXin{});
    auto send = m.guiXin(60, "", std::nullopt, std::nullopt);
    ASSERT_TRUE(daemon.answer(1, withResult("new", "cho")));
    ASSERT_TRUE(daemon.answer(0, withState("tu_choi", {}, {})));
    EXPECT_TRUE(xong(poll));
    EXPECT_EQ(m.xin(), X(X::Cho{"new", 60}));
}

TEST_F(ModelTest, AnswerArrivingAfterTheModelIsGoneIsDropped) {
    auto model = std::make_unique<HelperModel>(clock);
    model->call = daemon.call();
    auto t = model->guiXin(30, "", std::nullopt, std::nullopt);
    model.reset();
    ASSERT_TRUE(daemon.answer(0, withResult("r", "cho")));
    EXPECT_TRUE(xong(t));
}

TEST_F(ModelTest, MenuTitle) {
    EXPECT_EQ(m.tieuDeMenu(), "TovuControl");
    Policy p = policy(true, "het_gio");
    p.grantEndsAt = "2025-03-01T10:01:15Z";
    m.setPolicy(p);
    EXPECT_EQ(m.tieuDeMenu(), "01:15") << "a running grant counts down even while locked";
    m.setNow(utcTime(2025, 3, 1, 10, 1, 15));
    EXPECT_EQ(m.tieuDeMenu(), "Đã khoá");

    p = policy();
    m.setPolicy(p);
    EXPECT_EQ(m.tieuDeMenu(), "TovuControl");
    const std::vector<std::pair<std::int64_t, std::string>> cases{
        {59, "59 ph"}, {60, "1g00"}, {125, "2g05"}, {0, "0 ph"}, {-5, "-5 ph"}, {600, "10g00"}};
    for (const auto& [minutes, title] : cases) {
        p.minutesLeft = minutes;
        m.setPolicy(p);
        EXPECT_EQ(m.tieuDeMenu(), title) << minutes;
    }
}

TEST_F(ModelTest, FieldsAnnounceOnlyRealChanges) {
    QSignalSpy xin(&m, &HelperModel::xinChanged);
    QSignalSpy policySpy(&m, &HelperModel::policyChanged);
    m.setXin(X::ChuaXin{});
    m.setXin(X::Cho{"a", 30});
    m.setXin(X::Cho{"a", 30});
    m.setXin(X::Cho{"a", 60});
    EXPECT_EQ(xin.count(), 2);
    m.setPolicy(policy());
    m.setPolicy(policy());
    EXPECT_EQ(policySpy.count(), 1);
}

TEST(DefaultCall, ReportsAMissingDaemonOnTheMainThread) {
    TempDir dir;
    ScopedEnv sock("TOVUC_SOCK", dir.file("none.sock"));
    HelperModel m;
    QThread* thread = nullptr;
    QObject::connect(&m, &HelperModel::loiChanged, [&] { thread = QThread::currentThread(); });
    auto t = m.lamMoi();
    ASSERT_TRUE(xong(t));
    EXPECT_EQ(m.loi(), khongChay);
    EXPECT_EQ(thread, QCoreApplication::instance()->thread());
}

} // namespace
} // namespace tovu::test
