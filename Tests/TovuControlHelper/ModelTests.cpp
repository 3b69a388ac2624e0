#include "QtTestSupport.hpp"
#include "TovuCore/Iso.hpp"

#include <QThread>

namespace tovu::test {
namespace {

using X = TrangThaiXin;

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
}

TEST_F(ModelTest, PollMovesAWaitingRequestOnlyOnAUsableAnswerToIt) {
    auto none = m.hoiLoiXin();
    EXPECT_EQ(daemon.count(), 0u);

    const std::string ends = "2025-03-01T11:00:00Z";
    const Time end = *Iso::parse(ends);
    const X waiting = X::Cho{"r1", 60};
    const std::pair<IpcResponse, X> cases[] = {
        {tra(false).error("x"), waiting},
        {tra(), waiting},
        {tra().state("duoc", 60), waiting},
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

TEST_F(ModelTest, AnswerArrivingAfterTheModelIsGoneIsDropped) {
    auto model = std::make_unique<HelperModel>(clock);
    model->call = daemon.call();
    auto t = model->guiXin(30, "", std::nullopt, std::nullopt);
    model.reset();
    ASSERT_TRUE(daemon.answer(0, tra().result("r", "cho")));
    EXPECT_TRUE(xong(t));
}

TEST_F(ModelTest, MenuTitle) {
    EXPECT_EQ(m.tieuDeMenu(), "TovuControl");
    // A grant ends at its very second.
    Policy p = policy(true, "het_gio");
    p.grantEndsAt = "2025-03-01T10:00:00Z";
    m.setPolicy(p);
    EXPECT_EQ(m.tieuDeMenu(), "Đã khoá");
    m.setPolicy(p = policy());
    EXPECT_EQ(m.tieuDeMenu(), "TovuControl");
    p.minutesLeft = -5;
    m.setPolicy(p);
    EXPECT_EQ(m.tieuDeMenu(), "-5 ph");
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
