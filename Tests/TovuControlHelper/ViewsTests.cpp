#include "QtTestSupport.hpp"
#include "TovuCore/Iso.hpp"
#include "Views/BieuTuong.hpp"
#include "Views/ChonMot.hpp"
#include "Views/HopXin.hpp"
#include "Views/ManGioiThieu.hpp"
#include "Views/ManKhoa.hpp"
#include "Views/ManKhongDuoc.hpp"
#include "support/Support.hpp"

#include <QLineEdit>

namespace tovu::test {
namespace {

using X = TrangThaiXin;
using ::testing::Contains;
using ::testing::Not;

class ViewsTest : public ::testing::Test {
protected:
    void SetUp() override { m.call = daemon.call(); }

    // Answers every call still open, so that no operation outlives the test.
    void TearDown() override {
        for (std::size_t i = answered; i < daemon.count(); ++i)
            EXPECT_TRUE(daemon.answer(i, failed("x")));
    }

    std::unique_ptr<HopXin> hop(bool doiDiem, std::function<void()> dong = {},
                                std::optional<std::string> appId = std::nullopt,
                                std::optional<std::string> appName = std::nullopt) {
        return std::make_unique<HopXin>(m, appId, appName, doiDiem, 60, QString(), dong);
    }

    FakeDaemon daemon;
    std::size_t answered = 0;
    HelperModel m;
};

QAbstractButton* chon(const QWidget* root, const QString& text) {
    auto* segment = nut(root, text);
    EXPECT_TRUE(segment) << text.toStdString();
    return segment;
}

TEST_F(ViewsTest, AskingFormSendsChoiceNoteAndApp) {
    bool closed = false;
    auto box = hop(
        false, [&] { closed = true; }, "com.roblox.roblox", "Roblox");
    const QStringList texts = chuHien(box.get());
    for (const char* t : {"Xin thêm thời gian", "Bố mẹ nhận lời xin trên điện thoại.", "30 phút",
                          "1 giờ", "2 giờ", "Gửi bố mẹ", "Đóng"})
        EXPECT_THAT(texts, Contains(QString(t)));
    EXPECT_TRUE(chon(box.get(), "1 giờ")->isChecked());
    auto* note = box->findChild<QLineEdit*>("loiNhan");
    ASSERT_TRUE(note && note->isVisibleTo(box.get()));
    EXPECT_EQ(note->placeholderText(), "Lời nhắn cho bố mẹ (không bắt buộc)");

    chon(box.get(), "2 giờ")->click();
    EXPECT_TRUE(chon(box.get(), "2 giờ")->isChecked());
    EXPECT_FALSE(chon(box.get(), "1 giờ")->isChecked());
    note->setText("Con làm xong bài rồi");
    nut(box.get(), "Gửi bố mẹ")->click();

    ASSERT_EQ(daemon.count(), 1u);
    EXPECT_EQ(daemon.last(), IpcRequest(yeuCau("request")
                                            .kind("them_gio")
                                            .minutes(120)
                                            .appId("com.roblox.roblox")
                                            .appName("Roblox")
                                            .note("Con làm xong bài rồi")));
    auto* send = box->findChild<QAbstractButton*>("nutGui");
    EXPECT_EQ(send->text(), "Đang gửi…");
    EXPECT_FALSE(send->isEnabled());
    EXPECT_FALSE(box->findChild<QAbstractButton*>("nutDong")->isVisibleTo(box.get()));

    IpcResponse r = ok();
    r.result = RequestResult{"r1", "cho", std::nullopt};
    ASSERT_TRUE(daemon.answer(0, r));
    ++answered;
    // The waiting state shows the minutes asked, whatever is chosen now.
    EXPECT_THAT(chuHien(box.get()), Contains(QString("Đang chờ bố mẹ…")));
    EXPECT_THAT(chuHien(box.get()),
                Contains(QString("Con xin 2 giờ. Máy tự mở khi bố mẹ đồng ý.")));
    EXPECT_FALSE(send->isVisibleTo(box.get()));
    nut(box.get(), "Đóng")->click();
    EXPECT_TRUE(closed);
}

TEST_F(ViewsTest, ExchangeFormOffersOnlyItsOwnChoicesAndNoNote) {
    auto box = hop(true);
    const QStringList texts = chuHien(box.get());
    for (const char* t : {"Đổi điểm lấy thời gian", "Nếu con đủ điểm, máy mở ngay.", "15 phút",
                          "30 phút", "Đổi điểm"})
        EXPECT_THAT(texts, Contains(QString(t)));
    for (const char* t : {"1 giờ", "2 giờ", "Đóng"})
        EXPECT_THAT(texts, Not(Contains(QString(t))));
    EXPECT_FALSE(box->findChild<QLineEdit*>("loiNhan")->isVisibleTo(box.get()));
    // The box starts at 60, which exchange mode does not offer: 30 is shown and sent.
    EXPECT_TRUE(chon(box.get(), "30 phút")->isChecked());
    nut(box.get(), "Đổi điểm")->click();
    EXPECT_EQ(daemon.last(), IpcRequest(yeuCau("request").kind("doi_diem").minutes(30)));
}

TEST_F(ViewsTest, ReturnInTheNoteSends) {
    auto box = hop(false);
    box->show();
    auto* note = box->findChild<QLineEdit*>("loiNhan");
    QTest::keyClicks(note, "nhe");
    QTest::keyClick(note, Qt::Key_Return);
    ASSERT_EQ(daemon.count(), 1u);
    EXPECT_EQ(daemon.last().note, "nhe");
    EXPECT_EQ(daemon.last().minutes, 60);
    // Disabled while sending: a second Return sends nothing.
    QTest::keyClick(note, Qt::Key_Return);
    EXPECT_EQ(daemon.count(), 1u);
}

TEST_F(ViewsTest, ErrorShowsOnlyInTheForm) {
    auto box = hop(false);
    m.setLoi("Dịch vụ TovuControl không chạy");
    auto* error = box->findChild<QLabel*>("loi");
    EXPECT_TRUE(error->isVisibleTo(box.get()));
    EXPECT_EQ(error->text(), "Dịch vụ TovuControl không chạy");
    m.setXin(X::Cho{"r", 30});
    EXPECT_FALSE(error->isVisibleTo(box.get()));
    m.setXin(X::TuChoi{});
    EXPECT_FALSE(error->isVisibleTo(box.get()));
}

TEST_F(ViewsTest, AnswersAndTryingAgainKeepTheChoiceAndNote) {
    auto box = hop(false);
    chon(box.get(), "30 phút")->click();
    box->findChild<QLineEdit*>("loiNhan")->setText("cho con nhé");

    const Time end = *Iso::parse("2025-03-01T18:30:00Z");
    m.setXin(X::Duoc{60, end});
    EXPECT_THAT(chuHien(box.get()), Contains(QString("Bố mẹ cho thêm 1 giờ")));
    EXPECT_THAT(chuHien(box.get()),
                Contains("Máy mở đến " + Kieu::gioPhut(end) + " rồi tự khoá lại."));

    m.setXin(X::DoiDuoc{15});
    EXPECT_THAT(chuHien(box.get()), Contains(QString("Đổi được 15 phút!")));
    EXPECT_THAT(chuHien(box.get()), Contains(QString("Bố mẹ sẽ thấy trong danh sách yêu cầu.")));

    m.setXin(X::DoiKhong{});
    EXPECT_THAT(chuHien(box.get()), Contains(QString("Chưa đổi được lúc này")));
    EXPECT_THAT(chuHien(box.get()),
                Contains(QString("Có thể chưa đủ điểm hoặc đã đổi tối đa hôm nay.")));
    nut(box.get(), "Xin bố mẹ thay vì đổi điểm")->click();
    EXPECT_EQ(m.xin(), X(X::ChuaXin{}));

    m.setXin(X::TuChoi{});
    EXPECT_THAT(chuHien(box.get()), Contains(QString("Bố mẹ chưa đồng ý lần này")));
    nut(box.get(), "Xin lại")->click();
    EXPECT_EQ(m.xin(), X(X::ChuaXin{}));
    EXPECT_TRUE(chon(box.get(), "30 phút")->isChecked());
    EXPECT_EQ(box->findChild<QLineEdit*>("loiNhan")->text(), "cho con nhé");
    // Inside the lock screen there is nothing to close.
    EXPECT_THAT(chuHien(box.get()), Not(Contains(QString("Đóng"))));
}

TEST_F(ViewsTest, LockScreenByReasonAndExchangeRights) {
    ManKhoa noPolicy(m, false);
    EXPECT_THAT(chuHien(&noPolicy), Contains(QString("Máy đang khoá")));
    EXPECT_THAT(chuHien(&noPolicy),
                Contains(QString("Máy của con do bố mẹ quản lý bằng TovuControl.")));
    EXPECT_THAT(chuHien(&noPolicy), Contains(QString("Xin thêm thời gian")));
    EXPECT_THAT(chuHien(&noPolicy), Not(Contains(QString("Đổi điểm lấy thời gian"))));

    m.setPolicy(policy(true, "ngu"));
    ManKhoa bedtime(m, false);
    EXPECT_EQ(bedtime.findChild<BieuTuong*>()->hinh(), BieuTuong::Hinh::TrangSao);
    EXPECT_THAT(chuHien(&bedtime), Contains(QString("Đến giờ ngủ rồi")));
    EXPECT_THAT(chuHien(&bedtime), Contains(QString("Ngủ ngon nhé Bin! Sáng mai máy mở lại.")));
    EXPECT_FALSE(bedtime.findChild<HopXin*>()->isVisibleTo(&bedtime));
    EXPECT_FALSE(bedtime.findChild<QAbstractButton*>("nutDoi")->isVisibleTo(&bedtime));

    Policy p = policy(true, "het_gio");
    m.setPolicy(p);
    EXPECT_EQ(bedtime.findChild<BieuTuong*>()->hinh(), BieuTuong::Hinh::Khoa)
        << "the screen follows the model in place";
    EXPECT_THAT(chuHien(&bedtime),
                Contains(QString("Máy của Bin do bố mẹ quản lý bằng TovuControl.")));
    EXPECT_FALSE(bedtime.findChild<QAbstractButton*>("nutDoi")->isVisibleTo(&bedtime));

    p.canExchangePoints = true;
    m.setPolicy(p);
    auto* mode = bedtime.findChild<QAbstractButton*>("nutDoi");
    EXPECT_TRUE(mode->isVisibleTo(&bedtime));
    EXPECT_EQ(mode->focusPolicy(), Qt::NoFocus);
    mode->click();
    EXPECT_EQ(mode->text(), "Xin bố mẹ");
    EXPECT_TRUE(bedtime.findChild<HopXin*>()->doiDiem());
    m.setXin(X::Cho{"r", 15});
    EXPECT_FALSE(mode->isVisibleTo(&bedtime));
    m.setXin(X::ChuaXin{});
    EXPECT_TRUE(mode->isVisibleTo(&bedtime));

    const QString offline = "Máy đang mất mạng — lịch đã đặt vẫn chạy.";
    EXPECT_THAT(chuHien(&bedtime), Not(Contains(offline)));
    m.setOnline(false);
    EXPECT_THAT(chuHien(&bedtime), Contains(offline));
}

TEST_F(ViewsTest, LockScreenRequestNamesNoApp) {
    m.setPolicy(policy(true, "het_gio"));
    ManKhoa screen(m, false);
    nut(&screen, "Gửi bố mẹ")->click();
    ASSERT_EQ(daemon.count(), 1u);
    EXPECT_EQ(daemon.last(), IpcRequest(yeuCau("request").kind("them_gio").minutes(60).note("")));
}

TEST_F(ViewsTest, NotAllowedScreenExplainsAndAsksForTheApp) {
    int closed = 0;
    m.setPolicy(policy(true, "het_gio"));
    ManKhongDuoc locked(
        m, "Roblox", "com.roblox.roblox", [&] { ++closed; }, false);
    EXPECT_EQ(locked.findChild<QLabel*>("lyDo")->text(), "Hết giờ hôm nay.");

    Policy learning = policy();
    learning.mode = "hoc";
    m.setPolicy(learning);
    EXPECT_EQ(locked.findChild<QLabel*>("lyDo")->text(),
              "Bây giờ là giờ Chỉ app học. Bố mẹ chọn app được dùng.");
    EXPECT_THAT(chuHien(&locked), Contains(QString("Roblox chưa được mở lúc này")));
    EXPECT_EQ(locked.findChild<BieuTuong*>()->hinh(), BieuTuong::Hinh::GiuTay);

    nut(&locked, "Để sau")->click();
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(daemon.count(), 0u);

    nut(&locked, "Xin bố mẹ mở Roblox")->click();
    EXPECT_TRUE(locked.xin());
    EXPECT_THAT(chuHien(&locked), Not(Contains(QString("Roblox chưa được mở lúc này"))));
    nut(&locked, "Gửi bố mẹ")->click();
    ASSERT_EQ(daemon.count(), 1u);
    EXPECT_EQ(daemon.last().appId, "com.roblox.roblox");
    EXPECT_EQ(daemon.last().appName, "Roblox");
    ASSERT_TRUE(daemon.answer(0, failed(std::nullopt)));
    ++answered;
    nut(&locked, "Đóng")->click();
    EXPECT_EQ(closed, 2);
}

TEST_F(ViewsTest, AboutScreenShowsTimeAndModeOnlyWithAPolicy) {
    ManGioiThieu about(m);
    EXPECT_THAT(chuHien(&about), Contains(QString("TovuControl đang bật")));
    EXPECT_FALSE(about.findChild<QLabel*>("thoiGian")->isVisibleTo(&about));

    Policy p = policy();
    p.mode = "hoc";
    p.minutesLeft = 42;
    p.grantEndsAt = "không phải giờ";
    m.setPolicy(p);
    EXPECT_EQ(about.findChild<QLabel*>("thoiGian")->text(), "Còn hôm nay: 42 phút");
    EXPECT_EQ(about.findChild<QLabel*>("cheDo")->text(), "Chế độ: Chỉ app học");

    p.grantEndsAt = "2025-03-01T18:30:00Z";
    p.minutesLeft.reset();
    p.mode = "khoa";
    m.setPolicy(p);
    EXPECT_EQ(about.findChild<QLabel*>("thoiGian")->text(),
              "Được thêm giờ đến " + Kieu::gioPhut(*Iso::parse("2025-03-01T18:30:00Z")));
    EXPECT_EQ(about.findChild<QLabel*>("cheDo")->text(), "Chế độ: Khoá máy");

    p.grantEndsAt.reset();
    p.mode = "la";
    m.setPolicy(p);
    EXPECT_EQ(about.findChild<QLabel*>("thoiGian")->text(), "Còn hôm nay: Không giới hạn");
    EXPECT_EQ(about.findChild<QLabel*>("cheDo")->text(), "Chế độ: Tự do");
}

TEST(Icons, AreDistinctShapes) {
    using H = BieuTuong::Hinh;
    const std::vector<H> all{H::Khoa, H::TrangSao, H::GiuTay, H::KhienCheck, H::KhienCheckDac};
    std::vector<QImage> images;
    for (H h : all)
        images.push_back(BieuTuong::anh(h, Qt::black, 40).toImage());
    for (std::size_t i = 0; i < images.size(); ++i) {
        EXPECT_FALSE(BieuTuong::duong(all[i]).isEmpty());
        for (std::size_t j = i + 1; j < images.size(); ++j)
            EXPECT_NE(images[i], images[j]) << i << " " << j;
    }
}

} // namespace
} // namespace tovu::test
