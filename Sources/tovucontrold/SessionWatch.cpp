#include "SessionWatch.hpp"

#include "Displays.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuCore/UsageTracker.hpp"

#include <algorithm>
#include <fcntl.h>
#include <regex>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace tovu {
namespace {

using Lock = std::unique_lock<std::mutex>;
using Loai = SessionGuard::Viec::Loai;

// Best effort: the session is ended whether or not its terminal takes the text.
void ghiTty(const LoginSession& s, const std::string& title) {
    static const std::regex name(R"((tty\d+|pts/\d+))");
    std::string tty = s.tty;
    if (tty.empty() && s.vt > 0) tty = "tty" + std::to_string(s.vt);
    if (!std::regex_match(tty, name)) return;
    const int fd = ::open(("/dev/" + tty).c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    const std::string text = "\r\n" + title +
                             "\r\nMáy đang khoá nên phiên dòng lệnh này được đóng lại. Con "
                             "hãy xin bố mẹ thêm giờ trên màn hình chính nhé.\r\n";
    const ssize_t n = ::write(fd, text.data(), text.size());
    (void)n; // nothing to do about a terminal that takes no text
    ::close(fd);
}

// Asks the display manager for its login screen: LightDM and SDDM through their seat, GDM
// through a new login display. True when one of them took the call.
bool hoiManHinhDangNhap() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return false;
    struct Call {
        const char *service, *path, *interface, *member;
    };
    bool done = false;
    for (const Call& c :
         {Call{"org.freedesktop.DisplayManager", "/org/freedesktop/DisplayManager/Seat0",
               "org.freedesktop.DisplayManager.Seat", "SwitchToGreeter"},
          Call{"org.gnome.DisplayManager", "/org/gnome/DisplayManager/LocalDisplayFactory",
               "org.gnome.DisplayManager.LocalDisplayFactory", "CreateTransientDisplay"}}) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        done = sd_bus_call_method(bus, c.service, c.path, c.interface, c.member, &error, &reply,
                                  "") >= 0;
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        if (done) break;
    }
    sd_bus_flush_close_unref(bus);
    return done;
}

} // namespace

SessionWatch::SessionWatch(Host& daemon, Options options)
    : daemon_(daemon)
    , guard_(options.grace)
    , apps_(std::move(options.appDirs), [this](std::string_view m) { daemon_.log(m); })
    , drm_(std::move(options.drm))
    , launcher_(std::move(options.launcher)) {
    sessions_ = std::make_unique<LoginSessions>([this] { doiPhien(); },
                                                [this](std::string_view m) { daemon_.log(m); });
    thread_ = std::thread([this] { chay(); });
}

SessionWatch::~SessionWatch() {
    {
        Lock g(mutex_);
        dung_ = true;
    }
    cv_.notify_all();
    thread_.join();
    sessions_.reset();
}

void SessionWatch::doiPhien() {
    baoDoi();
}

void SessionWatch::baoDoi() {
    {
        Lock g(mutex_);
        changed_ = true;
    }
    cv_.notify_all();
}

std::optional<std::string> SessionWatch::lyDo() {
    Lock g(mutex_);
    return lyDo_;
}

std::optional<std::string> SessionWatch::dangNhapKhac() {
    for (const auto& s : sessions_->all())
        if (s.klass == "greeter" && s.seat == "seat0" && s.state != "closing") {
            if (sessions_->activate(s.id)) return std::nullopt;
            break;
        }
    if (hoiManHinhDangNhap()) return std::nullopt;
    return "Chưa mở được màn hình đăng nhập — thử lại sau nhé";
}

void SessionWatch::chay() {
    Lock g(mutex_);
    while (!dung_) {
        changed_ = false;
        g.unlock();
        const auto next = xet();
        g.lock();
        if (changed_ || dung_) continue;
        if (next)
            cv_.wait_for(g, *next - daemon_.clock().now(), [this] { return changed_ || dung_; });
        else
            cv_.wait(g, [this] { return changed_ || dung_; });
    }
}

std::optional<Time> SessionWatch::xet() {
    const auto uid = daemon_.uidCon();
    if (!uid) {
        apps_.apDung(std::nullopt, 0);
        return std::nullopt;
    }
    const auto sessions = sessions_->all();
    const auto policy = daemon_.policyHieuLuc();
    const auto now = daemon_.clock().now();
    const bool locked = policy && policy->locked;
    // No lock screen account: nothing counts as the lock screen, which then never comes up.
    const std::uint32_t lockUser = daemon_.uidManKhoa().value_or(Ipc::unknownUid);
    for (const auto& v : guard_.xet(sessions, *uid, lockUser, locked, now))
        lam(v, lockUser, locked ? policy->lockTitle() : std::string());

    // A minute is used while a session of the child is in front of its seat and a monitor is on;
    // a session without a seat (a remote one) is always in front.
    const bool inUse = std::any_of(sessions.begin(), sessions.end(), [&](const LoginSession& s) {
        return s.uid == *uid && s.active && s.state != "closing" &&
               (s.seat.empty() || s.remote || displaysOn(drm_));
    });
    if (inUse != dem_)
        daemon_.log(inUse ? "Bắt đầu tính giờ: con đang dùng máy"
                          : "Ngừng tính giờ: con không ở trước máy hoặc màn hình đã tắt");
    dem_ = inUse;
    const auto day = UsageTracker::ngay(now);
    if (const auto minutes = time_.dem(inUse, now, day, daemon_.tongHomNay())) {
        daemon_.demPhut(day, *minutes);
        // The minutes may have run out.
        baoDoi();
    }
    const bool chan = policy && (locked || policy->mode == "hoc");
    apps_.apDung(chan ? policy : std::nullopt, *uid);

    std::optional<std::string> why;
    if (guard_.treHan()) {
        const auto error = launcher_->loi();
        why = "Màn hình khoá của TovuControl không mở được" + (error.empty() ? "" : ": " + error) +
              " — khi máy khoá, phiên của con bị khoá rồi đóng lại.";
    } else if (const auto error = apps_.loi()) {
        why =
            "Không theo dõi được chương trình con mở (" + *error + ") — chế độ học không giữ được.";
    }
    {
        Lock g(mutex_);
        lyDo_ = why;
    }

    auto next = guard_.henTiep();
    const auto sooner = [&](std::optional<Time> t) {
        if (t && (!next || *t < *next)) next = t;
    };
    sooner(time_.henTiep(now));
    if (const auto end = policy ? policy->grantEnd() : std::nullopt; end && *end > now) sooner(end);
    return next;
}

void SessionWatch::lam(const SessionGuard::Viec& viec, std::uint32_t lockUser,
                       const std::string& title) {
    const auto& s = viec.phien;
    switch (viec.loai) {
    case Loai::batManKhoa:
        daemon_.log("Máy đang khoá mà phiên của con ở phía trước: mở màn hình khoá");
        launcher_->start();
        break;
    case Loai::duaLen:
        if (s.uid == lockUser)
            daemon_.log("Đưa màn hình khoá (phiên " + s.id + ") lên trước phiên của con");
        else
            daemon_.log("Máy mở khoá: trả phiên " + s.id + " lại cho con");
        sessions_->activate(s.id);
        break;
    case Loai::tatManKhoa:
        daemon_.log("Máy mở khoá: tắt màn hình khoá");
        launcher_->stop();
        break;
    case Loai::khoa:
        daemon_.log("Khoá phiên " + s.id +
                    " của con: máy đang khoá mà màn hình khoá không che được phiên này");
        sessions_->khoa(s.id);
        break;
    case Loai::dongTty:
        ghiTty(s, title);
        [[fallthrough]];
    case Loai::ketThuc:
        daemon_.log("Đóng phiên " + s.id +
                    " của con: máy đang khoá mà màn hình khoá không che được phiên này");
        sessions_->ketThuc(s.id);
        break;
    }
}

} // namespace tovu
