#include "SessionWatch.hpp"

#include "Daemon.hpp"
#include "TovuCore/UsageTracker.hpp"

#include <algorithm>
#include <fcntl.h>
#include <regex>
#include <unistd.h>

namespace tovu {
namespace {

using Lock = std::unique_lock<std::mutex>;

bool phienChu(const LoginSession& s) {
    return s.type == "tty";
}

bool khongTrongDuoc(const LoginSession& s) {
    return s.type == "wayland" || s.type == "mir" || phienChu(s);
}

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

} // namespace

SessionWatch::SessionWatch(Daemon& daemon, Options options)
    : daemon_(daemon)
    , guard_(options.grace)
    , apps_(std::move(options.appDirs), [this](std::string_view m) { daemon_.log(m); }) {
    sessions_ = std::make_unique<LoginSessions>([this] { doiPhien(); },
                                                [this](std::string_view m) { daemon_.log(m); });
    thread_ = std::thread([this] { chay(); });
}

SessionWatch::~SessionWatch() {
    {
        Lock g(khoa_);
        dung_ = true;
    }
    cv_.notify_all();
    thread_.join();
    sessions_.reset();
}

void SessionWatch::agentGoi(std::int32_t pid, const std::string& display) {
    const auto now = SystemClock::shared().now();
    bool moi = true;
    {
        Lock g(khoa_);
        if (const auto it = phienCuaPid_.find(pid); it != phienCuaPid_.end())
            moi = guard_.agentGoi(it->second, display, now);
        else if (choHoi_.size() < maxChoHoi)
            choHoi_[pid] = {now, display};
        else
            moi = false;
        doi_ = doi_ || moi;
    }
    if (moi) cv_.notify_all();
}

void SessionWatch::doiPhien() {
    {
        Lock g(khoa_);
        phienCuaPid_.clear(); // a pid may now be in another session, or in none
        doi_ = true;
    }
    cv_.notify_all();
}

void SessionWatch::hoiPhien() {
    std::map<std::int32_t, Goi> hoi;
    {
        Lock g(khoa_);
        hoi.swap(choHoi_);
    }
    for (const auto& [pid, goi] : hoi) {
        const auto id = sessions_->phienCua(pid);
        if (!id) continue;
        Lock g(khoa_);
        phienCuaPid_[pid] = *id;
        guard_.agentGoi(*id, goi.display, goi.luc);
    }
}

void SessionWatch::baoDoi() {
    {
        Lock g(khoa_);
        doi_ = true;
    }
    cv_.notify_all();
}

std::optional<std::string> SessionWatch::lyDo() {
    const auto uid = daemon_.uidCon();
    if (!uid) return std::nullopt;
    const auto sessions = sessions_->cuaNguoiDung(*uid);
    const auto now = SystemClock::shared().now();
    Lock g(khoa_);
    for (const auto& s : sessions) {
        if (s.state == "closing") continue;
        if (phienChu(s))
            return "Con đang đăng nhập ở màn hình dòng lệnh — TovuControl không "
                   "trông được phiên "
                   "này.";
        if (khongTrongDuoc(s))
            return "Con đang dùng phiên Wayland — TovuControl chỉ trông được phiên "
                   "X11. Chọn "
                   "phiên X11 khi đăng nhập.";
    }
    for (const auto& s : sessions)
        if (s.active && !guard_.duocBaoVe(s, now))
            return "Phiên đang mở của con không có ứng dụng TovuControl (đã bị tắt "
                   "hoặc chưa "
                   "chạy).";
    return std::nullopt;
}

void SessionWatch::chay() {
    Lock g(khoa_);
    while (!dung_) {
        doi_ = false;
        g.unlock();
        const auto next = xet();
        g.lock();
        if (doi_ || dung_) continue;
        if (next)
            cv_.wait_until(g, *next, [this] { return doi_ || dung_; });
        else
            cv_.wait(g, [this] { return doi_ || dung_; });
    }
}

std::optional<Time> SessionWatch::xet() {
    hoiPhien();
    const auto uid = daemon_.uidCon();
    if (!uid) {
        apps_.apDung(std::nullopt, 0);
        return std::nullopt;
    }
    const auto sessions = sessions_->cuaNguoiDung(*uid);
    const auto policy = daemon_.policyHieuLuc();
    const auto now = SystemClock::shared().now();
    const bool locked = policy && policy->locked;

    std::vector<SessionGuard::Viec> viec;
    bool demRieng, coPhienHo;
    std::set<std::string> guarded;
    std::optional<Time> next;
    {
        Lock g(khoa_);
        viec = guard_.xet(sessions, locked, now);
        demRieng = guard_.demRieng(sessions, now);
        coPhienHo = guard_.coPhienHo(sessions, now);
        for (const auto& s : sessions)
            if (guard_.duocBaoVe(s, now)) guarded.insert(s.id);
        next = guard_.henTiep(sessions, now);
    }
    for (const auto& id : guarded)
        if (!guarded_.contains(id)) daemon_.log("TovuControl đang trông phiên " + id + " của con");
    for (const auto& id : guarded_)
        if (!guarded.contains(id))
            daemon_.log("Phiên " + id + " của con không còn TovuControl trông");
    guarded_ = std::move(guarded);
    for (const auto& v : viec)
        lam(v, policy->lockTitle());

    // The agent counts the time of a guarded session in front; the rest is the
    // daemon's.
    const auto day = UsageTracker::ngay(now);
    std::int64_t stored = 0;
    {
        std::lock_guard g(daemon_.khoa);
        for (const auto& e : daemon_.st.usage)
            if (e.day == day && e.appId == UnguardedTime::appId) stored = e.minutes;
    }
    if (const auto minutes = time_.dem(demRieng, now, day, stored)) {
        daemon_.ghiUsage({{day, UnguardedTime::appId, UnguardedTime::appName, *minutes}});
        // The minutes may have run out.
        baoDoi();
    }
    const bool chan = policy && (locked || policy->mode == "hoc") && coPhienHo;
    apps_.apDung(chan ? policy : std::nullopt, *uid);

    const auto sooner = [&](std::optional<Time> t) {
        if (t && (!next || *t < *next)) next = t;
    };
    sooner(time_.henTiep(now));
    if (const auto end = policy ? policy->grantEnd() : std::nullopt; end && *end > now) sooner(end);
    return next;
}

void SessionWatch::lam(const SessionGuard::Viec& viec, const std::string& title) {
    const auto& s = viec.phien;
    switch (viec.loai) {
    case SessionGuard::Viec::Loai::khoa:
        daemon_.log("Khoá phiên " + s.id + " của con: máy đang khoá mà phiên không có TovuControl");
        sessions_->khoa(s.id);
        break;
    case SessionGuard::Viec::Loai::dongTty:
        ghiTty(s, title);
        [[fallthrough]];
    case SessionGuard::Viec::Loai::ketThuc:
        daemon_.log("Đóng phiên " + s.id + " của con: máy đang khoá mà phiên không có TovuControl");
        sessions_->ketThuc(s.id);
        break;
    }
}

} // namespace tovu
