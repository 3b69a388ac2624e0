#include "QtTestSupport.hpp"
#include "TovuCore/Iso.hpp"
#include "Views/HopXin.hpp"
#include "Views/ManGioiThieu.hpp"
#include "Views/ManKhoa.hpp"
#include "Views/ManKhongDuoc.hpp"

#include <QLineEdit>

namespace tovu::test {
namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

using X = TrangThaiXin;
using ::testing::Contains;
using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::UnorderedElementsAreArray;

class ViewsTest : public ModelTest {
protected:
    std::unique_ptr<HopXin> hop(bool doiDiem, std::function<void()> dong = {}) {
        return std::make_unique<HopXin>(m, "com.roblox.roblox", "Roblox", doiDiem, 60, QString(),
                                        dong);
    }
    static bool chon(const QWidget* root, const QString& text) {
        return nut(root, text) && nut(root, text)->isChecked();
    }
};

TEST_F(ViewsTest, AskingFormSendsChoiceNoteAndAppOnce) {
    bool closed = false;
    auto box = hop(false, [&] { closed = true; });
    box->show();
    EXPECT_THAT(chuHien(box.get()), UnorderedElementsAreArray(QStringList{
                                        "Xin thêm thời gian", "Bố mẹ nhận lời xin trên điện thoại.",
                                        "30 phút", "1 giờ", "2 giờ", "Gửi bố mẹ", "Đóng"}));
    EXPECT_TRUE(chon(box.get(), "1 giờ"));
    auto* note = box->findChild<QLineEdit*>("loiNhan");
    EXPECT_TRUE(note->isVisibleTo(box.get()));
    EXPECT_EQ(note->placeholderText(), "Lời nhắn cho bố mẹ (không bắt buộc)");

    nut(box.get(), "2 giờ")->click();
    // Return in the note sends; the second finds the button disabled while sending.
    QTest::keyClicks(note, "xong bai roi");
    QTest::keyClick(note, Qt::Key_Return);
    QTest::keyClick(note, Qt::Key_Return);
    ASSERT_EQ(daemon.count(), 1u);
    EXPECT_EQ(daemon.last(), R"({"appId":"com.roblox.roblox","appName":"Roblox","kind":"them_gio",)"
                             R"("minutes":120,"note":"xong bai roi","op":"request"})");
    EXPECT_TRUE(nut(box.get(), "Đang gửi…"));
    EXPECT_FALSE(nut(box.get(), "Đóng"));

    ASSERT_TRUE(daemon.answer(0, tra(false)));
    nut(box.get(), "Đóng")->click();
    EXPECT_TRUE(closed);
}

// Without a closing action (inside the lock screen) the box never offers "Đóng".
TEST_F(ViewsTest, AnswersHideTheFormAndTryingAgainKeepsChoiceNoteAndError) {
    auto box = hop(false);
    nut(box.get(), "30 phút")->click();
    box->findChild<QLineEdit*>("loiNhan")->setText("cho con nhé");
    m.setLoi("Dịch vụ TovuControl không chạy");

    const Time end = *Iso::parse("2025-03-01T18:30:00Z");
    const std::pair<X, QStringList> states[] = {
        // The waiting state shows the minutes asked, whatever is chosen now.
        {X::Cho{"r", 120}, {"Đang chờ bố mẹ…", "Con xin 2 giờ. Máy tự mở khi bố mẹ đồng ý."}},
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
        EXPECT_THAT(chuHien(box.get()), UnorderedElementsAreArray(texts));
        // A button back to the form comes last.
        if (QAbstractButton* back = nut(box.get(), texts.back())) {
            back->click();
            EXPECT_EQ(m.xin(), X(X::ChuaXin{}));
        }
    }
    EXPECT_TRUE(chon(box.get(), "30 phút"));
    EXPECT_EQ(box->findChild<QLineEdit*>("loiNhan")->text(), "cho con nhé");
    EXPECT_THAT(chuHien(box.get()), IsSupersetOf(QStringList{"Dịch vụ TovuControl không chạy"}));
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
    // The exchange form offers only its own choices and no note; the box starts at 60, which it
    // does not offer: 30 is shown.
    EXPECT_THAT(chuHien(box), UnorderedElementsAreArray(QStringList{
                                  "Đổi điểm lấy thời gian", "Nếu con đủ điểm, máy mở ngay.",
                                  "15 phút", "30 phút", "Đổi điểm"}));
    EXPECT_FALSE(box->findChild<QLineEdit*>("loiNhan")->isVisibleTo(box));
    EXPECT_TRUE(chon(box, "30 phút"));
    nut(box, "15 phút")->click();
    nut(box, "Đổi điểm")->click();
    EXPECT_EQ(daemon.last(), R"({"kind":"doi_diem","minutes":15,"op":"request"})");

    const QString offline = "Máy đang mất mạng — lịch đã đặt vẫn chạy.";
    EXPECT_THAT(chuHien(&screen), Not(Contains(offline)));
    m.setOnline(false);
    EXPECT_THAT(chuHien(&screen), IsSupersetOf(QStringList{offline}));
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

TEST_F(ViewsTest, AboutScreenShowsTimeAndModeOnlyWithAPolicy) {
    ManGioiThieu about(m);
    EXPECT_THAT(chuHien(&about), IsSupersetOf(QStringList{"TovuControl đang bật"}));
    auto* time = about.findChild<QLabel*>("thoiGian");
    EXPECT_FALSE(time->isVisibleTo(&about));

    auto shows = [&](std::string mode, std::optional<std::int64_t> minutes,
                     std::optional<std::string> grant, const QString& thoiGian,
                     const QString& cheDo) {
        Policy p = policy();
        p.mode = mode;
        p.minutesLeft = minutes;
        p.grantEndsAt = grant;
        m.setPolicy(p);
        EXPECT_EQ(time->text(), thoiGian);
        EXPECT_EQ(about.findChild<QLabel*>("cheDo")->text(), cheDo);
    };
    shows("hoc", 42, "không phải giờ", "Còn hôm nay: 42 phút", "Chế độ: Chỉ app học");
    const std::string ends = "2025-03-01T18:30:00Z";
    shows("khoa", {}, ends, "Được thêm giờ đến " + Kieu::gioPhut(*Iso::parse(ends)),
          "Chế độ: Khoá máy");
    shows("la", {}, {}, "Còn hôm nay: Không giới hạn", "Chế độ: Tự do");
}

} // namespace
} // namespace tovu::test
