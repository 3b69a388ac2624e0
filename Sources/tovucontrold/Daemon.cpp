#include "Daemon.hpp"

#include "ProcessFacts.hpp"
#include "TovuCore/Api.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/Rules.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "TovuCore/platform/Platform.hpp"
#include "TovuProtocol/Contract.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>
#include <pwd.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tovu {

namespace {

using Lock = std::lock_guard<std::mutex>;
using Limit = std::numeric_limits<std::int64_t>;

std::int64_t truBaoHoa(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? Limit::max() : Limit::min();
    return r;
}

constexpr auto helperTimeout = std::chrono::seconds(120);

std::string dayDu(const std::string& day) {
    return "Ngày " + day + " đã có " + std::to_string(UsageBook::maxAppsPerDay) +
           " ứng dụng, bỏ qua các ứng dụng mới";
}

IpcResponse khongQuanLy() {
    return IpcResponse::failure("Không phải tài khoản được quản lý");
}

std::optional<std::uint32_t> uidCua(const std::string& user) {
    std::vector<char> buf(4096);
    passwd pw{};
    passwd* found = nullptr;
    int rc;
    while ((rc = getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found)) == ERANGE)
        buf.resize(buf.size() * 2);
    if (rc != 0 || found == nullptr) return std::nullopt;
    return static_cast<std::uint32_t>(pw.pw_uid);
}

// The ids of the child's apps running in the login session (any, when it has none).
std::set<std::string> appsOf(const AppCatalog& catalog, std::uint32_t uid,
                             const std::string& session) {
    std::set<std::string> ids;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto pid = static_cast<std::int32_t>(std::stol(name));
        if (ProcessFacts::statusField(pid, "Uid:") != uid) continue;
        if (!session.empty() && ProcessFacts::session(pid) != session) continue;
        if (auto app = catalog.identify(pid); !app.id.empty()) ids.insert(std::move(app.id));
    }
    return ids;
}

IpcResponse thanhCong() {
    IpcResponse r;
    r.ok = true;
    return r;
}

void ghiStderr(std::string_view line) {
    ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
    (void)n; // nowhere left to report a failed log write
}

} // namespace

// Only a whole fetch is taken back: a policy without its time cannot count down.
static std::optional<SyncLoop::Fetched> fetchedOf(const DaemonState& st) {
    if (!st.policy || !st.fetchedAt) return std::nullopt;
    return SyncLoop::Fetched{*st.policy, *st.fetchedAt, st.usedAtFetch};
}

Daemon::Daemon(const Clock& clock, std::optional<AgentConfig> config, DaemonState state, bool trial,
               Options options)
    : clock_(clock)
    , options_(std::move(options))
    , dev_(trial)
    , cfg_(std::move(config))
    , book_(clock)
    , sync_(clock, *this, book_, fetchedOf(state)) {
    if (!options_.logSink) options_.logSink = ghiStderr;
    if (!options_.isAdmin) options_.isAdmin = platform::isAdmin;
    if (!options_.saveState)
        options_.saveState = [path = options_.statePath](const DaemonState& s) {
            FileIO::write(s, path);
        };
    if (options_.appDirs.empty()) options_.appDirs = AppCatalog::systemDataDirs();
    if (!options_.runningApps)
        options_.runningApps = [this](std::uint32_t uid, const std::string& session) {
            return appsOf(*katalog({}), uid, session);
        };
    std::error_code ec;
    if (!options_.agentPath.empty())
        options_.agentPath = std::filesystem::weakly_canonical(options_.agentPath, ec).string();
    for (const auto& day : book_.khoiPhuc(state.usage))
        log(dayDu(day));
}

Daemon::~Daemon() = default;

bool Daemon::devTuMoiTruong() {
    const char* value = std::getenv("TOVUC_DEV");
    return value != nullptr && std::string_view(value) == "1";
}

std::string Daemon::agentTuMoiTruong() {
    const char* value = std::getenv("TOVUC_AGENT");
    if (value != nullptr && *value != '\0') return value;
    return TOVU_AGENT_PATH;
}

std::optional<AgentConfig> Daemon::cauHinh() {
    Lock g(mutex_);
    return cfg_;
}

std::optional<std::uint32_t> Daemon::uidCon() {
    const auto c = cauHinh();
    return c ? uidCua(c->childUser) : std::nullopt;
}

void Daemon::docLaiCfg() {
    if (cauHinh()) return;
    auto read = FileIO::read<AgentConfig>(options_.configPath);
    Lock g(mutex_);
    cfg_ = std::move(read);
}

std::optional<Policy> Daemon::policyHieuLuc() {
    const auto now = clock_.now();
    const auto fetched = sync_.fetched();
    if (!fetched) return std::nullopt;
    const auto used = std::max<std::int64_t>(
        0, truBaoHoa(book_.tongNgay(UsageTracker::ngay(now)), fetched->usedAtFetch));
    return Rules::hieuLuc(fetched->policy, fetched->fetchedAt, used, now);
}

bool Daemon::conLaQuanTri(const std::string& user) const {
    return options_.isAdmin(user);
}

nlohmann::json Daemon::trangThai() {
    const auto c = cauHinh();
    if (!c) return nlohmann::json::object();
    std::optional<Time> lanCuoi;
    {
        Lock g(mutex_);
        lanCuoi = helperLanCuoi_;
    }
    // The agent only shows the countdown: without it the rules hold all the same.
    const bool alive = lanCuoi && clock_.now() - *lanCuoi < helperTimeout;
    const bool admin = conLaQuanTri(c->childUser);
    const auto phien = !admin && hooks_.phienLoi ? hooks_.phienLoi() : std::nullopt;
    nlohmann::json s = {{"protected", !admin && !phien},
                        {"helperAlive", alive},
                        {"childIsAdmin", admin},
                        {"childUser", Contract::clip(c->childUser, Contract::Text::childUser)}};
    const auto reason =
        admin ? "Tài khoản " + c->childUser +
                    " đang là quản trị — con tắt được TovuControl. Đổi sang tài khoản thường."
              : phien;
    if (reason) s["reason"] = Contract::clip(*reason, Contract::Text::reason);
    if (const auto refusal = sync_.tuChoiCuoi())
        s["lastRefusal"] = Contract::clip(*refusal, Contract::Text::reason);
    return s;
}

bool Daemon::duocTin(std::uint32_t uid, const std::optional<AgentConfig>& c) const {
    if (uid == 0 || dev_ || laManKhoa(uid)) return true;
    if (!c || uid == Ipc::unknownUid) return false;
    const auto childUid = uidCua(c->childUser);
    return childUid && *childUid == uid;
}

std::optional<std::uint32_t> Daemon::uidManKhoa() const {
    return options_.lockUser.empty() ? std::nullopt : uidCua(options_.lockUser);
}

bool Daemon::laManKhoa(std::uint32_t uid) const {
    if (uid == 0 || uid == Ipc::unknownUid) return false;
    const auto lockUid = uidManKhoa();
    return lockUid && *lockUid == uid;
}

std::optional<IpcResponse> Daemon::tuChoi(const Ipc::Peer& peer) {
    if (duocTin(peer.uid, cauHinh())) return std::nullopt;
    return khongQuanLy();
}

bool Daemon::traLoiNgay(const IpcRequest& request) {
    return request.op == "policy" || request.op == "usageToday";
}

bool Daemon::laAgentThat(const Ipc::Peer& peer) const {
    if (options_.isAgent) return options_.isAgent(peer);
    const auto exe = platform::executablePath(peer.pid);
    if (!exe || options_.agentPath.empty()) return false;
    // An agent started before a reinstall replaced its file still is the agent.
    std::string_view path = *exe;
    constexpr std::string_view replaced = " (deleted)";
    if (path.ends_with(replaced)) path.remove_suffix(replaced.size());
    if (path != options_.agentPath) return false;
    // The child's account can trace a process of its own, load code into it, run it where
    // another file bears the agent's name, or hand its connection to another program: none of
    // these may pass for the agent.
    namespace P = ProcessFacts;
    if (!P::nonDumpable(peer.pid) || !P::ownUserNamespace(peer.pid) ||
        P::statusField(peer.pid, "TracerPid:").value_or(1) != 0)
        return false;
    for (const auto& var : P::environment(peer.pid))
        if (var.starts_with("LD_")) return false;
    if (peer.uid != 0 && P::theirCode(peer.pid, peer.uid, P::groupsOf(peer.uid))) return false;
    const auto caller = peer.socket ? P::unixPeer(peer.socket) : std::nullopt;
    return caller && P::soleHolder(peer.pid, *caller, peer.uid);
}

std::optional<IpcResponse> Daemon::moiAgent(const Ipc::Peer& peer) {
    const auto session = ProcessFacts::session(peer.pid);
    const auto started = ProcessFacts::startTime(peer.pid).value_or(0);
    Lock g(mutex_);
    const auto it = agents_.find(session);
    if (it != agents_.end() && it->second.first != peer.pid &&
        ProcessFacts::startTime(it->second.first) == it->second.second)
        return IpcResponse::failure(std::string(Ipc::daCoAgent));
    agents_[session] = {peer.pid, started};
    return std::nullopt;
}

bool Daemon::laShellThat(const Ipc::Peer& peer) {
    const auto exe = platform::executablePath(peer.pid);
    const auto c = cauHinh();
    const auto child = c ? uidCua(c->childUser) : std::nullopt;
    if (!exe || !child || peer.uid != *child ||
        std::ranges::find(options_.shells, *exe) == options_.shells.end())
        return false;
    // A shell the child started on their own looks the same: only the one logind handed the
    // session's devices to is the session's.
    const auto controllers = ProcessFacts::sessionControllers(options_.logindSessions, peer.uid);
    if (std::ranges::find(controllers, peer.pid) == controllers.end()) return false;
    namespace P = ProcessFacts;
    if (!P::ownUserNamespace(peer.pid) || P::statusField(peer.pid, "TracerPid:").value_or(1) != 0)
        return false;
    // The child's own dconf profile unlocks the extension's keys, and a copy of it in their data
    // folders runs in place of the installed one.
    std::string home, data;
    for (const auto& var : P::environment(peer.pid)) {
        if (var.starts_with("LD_") || var.starts_with("DCONF_PROFILE=")) return false;
        if (var.starts_with("HOME=")) home = var.substr(5);
        if (var.starts_with("XDG_DATA_HOME=")) data = var.substr(14);
    }
    if (home.empty())
        if (const passwd* pw = getpwuid(peer.uid)) home = pw->pw_dir;
    for (const auto& folder : {home + "/.local/share", data})
        if (!folder.empty() &&
            std::filesystem::exists(folder + "/gnome-shell/extensions/" + shellExtension))
            return false;
    return !P::theirCode(peer.pid, peer.uid, P::groupsOf(peer.uid));
}

IpcResponse Daemon::nhanTruocMat(const IpcRequest& request) {
    const auto c = cauHinh();
    const auto child = c ? uidCua(c->childUser) : std::nullopt;
    if (!request.pid || *request.pid <= 0 ||
        *request.pid > std::numeric_limits<std::int32_t>::max())
        return IpcResponse::failure("Thiếu chương trình đang mở");
    const auto pid = static_cast<std::int32_t>(*request.pid);
    std::optional<std::pair<std::string, std::string>> front;
    // Only a program of the child's names minutes; the desktop itself names none.
    if (child && ProcessFacts::statusField(pid, "Uid:") == *child) {
        const auto app = katalog({})->identify(pid);
        if (!app.id.empty() && !app.desktopComponent)
            if (auto name = tenApp(app.id)) front.emplace(app.id, std::move(*name));
    }
    book_.truocMat(std::move(front));
    return thanhCong();
}

std::shared_ptr<const AppCatalog> Daemon::katalog(const std::string& id) {
    const auto now = clock_.now();
    Lock g(catalogMutex_);
    // Apps installed meanwhile are found by reading the entries again, at most once a minute.
    if (!catalog_ ||
        (!id.empty() && !catalog_->nameOf(id) && now - catalogLuc_ >= std::chrono::minutes(1))) {
        catalog_ = std::make_shared<const AppCatalog>(AppCatalog::load(options_.appDirs));
        catalogLuc_ = now;
    }
    return catalog_;
}

std::optional<std::string> Daemon::tenApp(const std::string& id) {
    if (auto name = katalog(id)->nameOf(id)) return Contract::clip(*name, Contract::Text::appName);
    if (id.starts_with('/'))
        return Contract::clip("Chương trình con tự chạy: " + id, Contract::Text::appName);
    return std::nullopt;
}

std::set<std::string> Daemon::dangChay(const Ipc::Peer& peer) const {
    return options_.runningApps(peer.uid, ProcessFacts::session(peer.pid));
}

IpcResponse Daemon::xuLy(const IpcRequest& request, const Ipc::Peer& peer) {
    const auto c = cauHinh();
    if (!duocTin(peer.uid, c)) return khongQuanLy();
    if (!c) return IpcResponse::failure("Máy chưa ghép với bố mẹ");
    // Any program of the child may ask; only the agent's own requests show that it runs.
    const bool agent = laAgentThat(peer);
    if (agent) {
        if (auto refusal = moiAgent(peer)) return *refusal;
        const auto now = clock_.now();
        Lock g(mutex_);
        helperLanCuoi_ = now;
    }

    const auto& op = request.op;
    if (op == "policy") {
        auto r = thanhCong();
        r.policy = policyHieuLuc();
        if (hooks_.daDong) r.ended = hooks_.daDong();
        r.online = sync_.online();
        return r;
    }
    if (op == "usage") {
        if (!agent) return IpcResponse::failure("Chỉ TovuControl trong phiên của con báo giờ dùng");
        return nhanUsage(request, peer);
    }
    if (op == "usageToday") {
        const auto homNay = UsageTracker::ngay(clock_.now());
        auto r = thanhCong();
        r.entries = book_.coPhut(homNay);
        return r;
    }
    if (op == "front") {
        // The shell of the child's session, or the agent where the shell cannot call itself.
        if (!agent && !laShellThat(peer))
            return IpcResponse::failure("Chỉ màn hình của con báo được ứng dụng đang mở");
        return nhanTruocMat(request);
    }
    if (op == "request") return guiYeuCau(request, peer, *c);
    if (op == "requestState") return hoiYeuCau(request, *c);
    if (op == "greeter") {
        // Only the lock screen offers the login screen: the child has it already.
        if (peer.uid != 0 && !dev_ && !laManKhoa(peer.uid))
            return IpcResponse::failure("Chỉ màn hình khoá mở được màn hình đăng nhập");
        const auto error = hooks_.dangNhapKhac ? hooks_.dangNhapKhac()
                                               : std::optional<std::string>("Chưa mở được màn hình "
                                                                            "đăng nhập");
        return error ? IpcResponse::failure(*error) : thanhCong();
    }
    return IpcResponse::failure("Không hiểu yêu cầu " + op);
}

void Daemon::demPhut(const std::string& day, std::int64_t minutes) {
    if (book_.demPhut(day, minutes)) luu();
}

IpcResponse Daemon::nhanUsage(const IpcRequest& request, const Ipc::Peer& peer) {
    // A minute goes to an app only while it runs in the agent's session, under the name the
    // system gives it.
    const auto running = dangChay(peer);
    std::vector<UsageEntry> named;
    for (auto e : request.entries.value_or(std::vector<UsageEntry>{})) {
        if (!running.contains(e.appId)) continue;
        const auto name = tenApp(e.appId);
        if (!name) continue;
        e.appName = *name;
        named.push_back(std::move(e));
    }
    for (const auto& day : book_.ghiUsage(named))
        log(dayDu(day));
    luu();

    auto r = thanhCong();
    r.policy = policyHieuLuc();
    if (hooks_.daDong) r.ended = hooks_.daDong();
    if (r.policy && r.policy->locked) {
        const auto fetched = sync_.fetched();
        // The countdown or a grant ran out here: the server should learn it and answer now.
        if (fetched && !fetched->policy.locked) sync_.dongBoNen();
    }
    r.online = sync_.online();
    return r;
}

IpcResponse Daemon::guiYeuCau(const IpcRequest& request, const Ipc::Peer& peer,
                              const AgentConfig& c) {
    using namespace Contract;
    const auto kind = request.kind.value_or(std::string(Kind::moreTime));
    if (kind != Kind::moreTime && kind != Kind::exchange)
        return IpcResponse::failure("Loại yêu cầu không hợp lệ");
    const auto minutes = request.minutes.value_or(30);
    if (!Number::minutes.contains(minutes))
        return IpcResponse::failure("Số phút phải từ " + std::to_string(Number::minutes.min) +
                                    " đến " + std::to_string(Number::minutes.max));
    // An app is one the system knows, or a program of the child's that runs now; its name is
    // the system's, never the caller's.
    std::optional<std::string> appName, note;
    if (request.appId) {
        if (!UsageBook::laAppId(*request.appId) ||
            (request.appId->starts_with('/') && !dangChay(peer).contains(*request.appId)) ||
            !(appName = tenApp(*request.appId)))
            return IpcResponse::failure("Ứng dụng không hợp lệ");
    }
    if (request.note) {
        note = tidy(*request.note);
        if (!fits(*note, Text::note))
            return IpcResponse::failure("Lời nhắn dài quá (tối đa " +
                                        std::to_string(Text::note.chars) + " ký tự)");
    }

    const auto now = clock_.now();
    const std::pair<std::string, std::string> key{kind, request.appId.value_or("")};
    {
        std::lock_guard g(xinMutex_);
        // One waiting request per kind and app: asking again follows the one that waits.
        if (const auto it = choXin_.find(key);
            it != choXin_.end() && now - it->second.second < std::chrono::hours(24)) {
            auto r = thanhCong();
            r.result = RequestResult{it->second.first, "cho", std::nullopt};
            return r;
        }
        while (!daXin_.empty() && now - daXin_.front() >= std::chrono::hours(1))
            daXin_.pop_front();
        if (daXin_.size() >= maxXinMoiGio)
            return IpcResponse::failure("Con đã xin " + std::to_string(maxXinMoiGio) +
                                        " lần trong một giờ qua — chờ một lát rồi xin lại nhé.");
    }

    RequestResult result;
    try {
        result = ApiClient(c.server, c.token).request(kind, minutes, request.appId, appName, note);
    } catch (const std::exception&) {
        return IpcResponse::failure("Chưa gửi được — máy đang mất mạng");
    }
    {
        // Only what reached the parents counts: asking while offline costs nothing.
        std::lock_guard g(xinMutex_);
        daXin_.push_back(now);
        if (result.status == "cho") choXin_[key] = {result.id, now};
    }
    // Granted at once: the new policy is fetched behind the answer.
    if (result.grantEndsAt) sync_.dongBoNen();
    auto r = thanhCong();
    r.result = std::move(result);
    return r;
}

IpcResponse Daemon::hoiYeuCau(const IpcRequest& request, const AgentConfig& c) {
    RequestState state;
    try {
        state = ApiClient(c.server, c.token).requestState(request.id.value_or(""));
    } catch (const std::exception&) {
        return IpcResponse::failure("Mất mạng");
    }
    if (state.status != "cho") {
        std::lock_guard g(xinMutex_);
        std::erase_if(choXin_, [&](const auto& x) { return x.second.first == request.id; });
    }
    if (state.grantEndsAt) sync_.dongBoNen();
    auto r = thanhCong();
    r.state = std::move(state);
    return r;
}

void Daemon::khiCoPolicy() {
    if (hooks_.khiCoPolicy) hooks_.khiCoPolicy();
}

DaemonState Daemon::snapshot() const {
    DaemonState st;
    if (const auto fetched = sync_.fetched()) {
        st.policy = fetched->policy;
        st.fetchedAt = fetched->fetchedAt;
        st.usedAtFetch = fetched->usedAtFetch;
    }
    st.usage = book_.entries();
    return st;
}

void Daemon::luu() {
    // Read before the copy: a copy taken after it holds at least this change.
    const auto version = [this] { return book_.changes() + sync_.changes(); };
    const auto mine = version();
    // Saves run one at a time, each writing the newest state: an older copy never lands last.
    Lock s(luuMutex_);
    if (daLuu_ >= mine) return; // a later save already wrote this change
    const auto now = version();
    const auto copy = snapshot();
    try {
        options_.saveState(copy);
        daLuu_ = now;
    } catch (const std::system_error&) {
        // Kept in memory; the next save writes it.
    }
}

void Daemon::log(std::string_view message) const {
    const auto t = std::chrono::floor<std::chrono::seconds>(clock_.now());
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char stamp[32];
    const auto n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    std::string line;
    line.reserve(n + message.size() + 4);
    line.append("[").append(stamp, n).append("] ").append(message).append("\n");
    options_.logSink(line);
}

} // namespace tovu
