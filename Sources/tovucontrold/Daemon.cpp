#include "Daemon.hpp"

#include "TovuCore/Api.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/Rules.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <pwd.h>
#include <set>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace tovu {

namespace {

using Lock = std::lock_guard<std::mutex>;
using Limit = std::numeric_limits<std::int64_t>;

constexpr auto helperTimeout = std::chrono::seconds(120);
constexpr std::size_t keptDays = 3;

// Minutes come from the socket; absurd counts must not wrap around.
std::int64_t congBaoHoa(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? Limit::max() : Limit::min();
    return r;
}

std::int64_t truBaoHoa(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? Limit::max() : Limit::min();
    return r;
}

// A real Gregorian date written exactly "yyyy-MM-dd".
bool laNgay(const std::string& day) {
    if (day.size() != 10 || day[4] != '-' || day[7] != '-') return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (day[i] < '0' || day[i] > '9') return false;
    const int y = std::stoi(day.substr(0, 4));
    const unsigned m = static_cast<unsigned>(std::stoi(day.substr(5, 2)));
    const unsigned d = static_cast<unsigned>(std::stoi(day.substr(8, 2)));
    return std::chrono::year_month_day{std::chrono::year{y}, std::chrono::month{m},
                                       std::chrono::day{d}}
        .ok();
}

// The agent runs as the child, so what it reports is checked: no negative minutes, no made-up
// or future days (a future day would push the real ones out of the three kept).
bool dungDuoc(const UsageEntry& e, const std::string& homNay) {
    return e.minutes >= 0 && laNgay(e.day) && e.day <= homNay;
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

Daemon::Daemon(const Clock& clock, std::optional<AgentConfig> config, DaemonState state, bool trial,
               Options options)
    : cfg(std::move(config))
    , st(std::move(state))
    , dev(trial)
    , clock_(clock)
    , options_(std::move(options)) {
    if (!options_.logSink) options_.logSink = ghiStderr;
    if (!options_.isAdmin) options_.isAdmin = platform::isAdmin;
}

Daemon::~Daemon() {
    Lock g(nenKhoa_);
    if (nen_.joinable()) nen_.join();
}

bool Daemon::devTuMoiTruong() {
    const char* value = std::getenv("TOVUC_DEV");
    return value != nullptr && std::string_view(value) == "1";
}

std::optional<AgentConfig> Daemon::cauHinh() {
    Lock g(khoa);
    return cfg;
}

std::optional<std::uint32_t> Daemon::uidCon() {
    const auto c = cauHinh();
    return c ? uidCua(c->childUser) : std::nullopt;
}

void Daemon::docLaiCfg() {
    if (cauHinh()) return;
    auto read = FileIO::read<AgentConfig>(options_.configPath);
    Lock g(khoa);
    cfg = std::move(read);
}

int Daemon::dongBo() {
    const auto c = cauHinh();
    if (!c) return 30;
    const ApiClient api(c->server, c->token);
    std::vector<UsageEntry> usage;
    {
        Lock g(khoa);
        usage = st.usage;
    }
    const auto status = trangThai();

    Policy p;
    try {
        p = api.sync(status, usage, {});
    } catch (const ApiError& e) {
        if (e.unauthorized()) {
            log("Máy đã bị gỡ khỏi gia đình hoặc token sai: " + e.description());
            Lock g(khoa);
            online = false;
            return 120;
        }
        {
            Lock g(khoa);
            online = false;
        }
        log("Mất kết nối máy chủ: " + e.description());
        return 30;
    } catch (const std::exception& e) {
        {
            Lock g(khoa);
            online = false;
        }
        log(std::string("Mất kết nối máy chủ: ") + e.what());
        return 30;
    }

    const auto now = clock_.now();
    const auto homNay = UsageTracker::ngay(now);
    {
        Lock g(khoa);
        st.usedAtFetch = tongNgay(homNay);
        st.policy = p;
        st.fetchedAt = now;
        online = true;
    }
    luu();
    return static_cast<int>(std::clamp<std::int64_t>(p.nextCheckSec, 10, 300));
}

std::int64_t Daemon::tongNgay(const std::string& day) const {
    std::int64_t sum = 0;
    for (const auto& e : st.usage)
        if (e.day == day) sum = congBaoHoa(sum, e.minutes);
    return sum;
}

std::int64_t Daemon::tongHomNay() const {
    return tongNgay(UsageTracker::ngay(clock_.now()));
}

std::optional<Policy> Daemon::policyHieuLuc() {
    const auto now = clock_.now();
    const auto homNay = UsageTracker::ngay(now);
    std::optional<Policy> policy;
    std::optional<Time> fetchedAt;
    std::int64_t used;
    {
        Lock g(khoa);
        if (!st.policy || !st.fetchedAt) return std::nullopt;
        policy = st.policy;
        fetchedAt = st.fetchedAt;
        used = std::max<std::int64_t>(0, truBaoHoa(tongNgay(homNay), st.usedAtFetch));
    }
    return Rules::hieuLuc(*policy, *fetchedAt, used, now);
}

bool Daemon::conLaQuanTri(const std::string& user) const {
    return options_.isAdmin(user);
}

nlohmann::json Daemon::trangThai() {
    const auto c = cauHinh();
    if (!c) return nlohmann::json::object();
    std::optional<Time> lanCuoi;
    {
        Lock g(khoa);
        lanCuoi = helperLanCuoi;
    }
    const bool alive = lanCuoi && clock_.now() - *lanCuoi < helperTimeout;
    const bool admin = conLaQuanTri(c->childUser);
    const auto phien = alive && !admin && phienLoi ? phienLoi() : std::nullopt;
    nlohmann::json s = {{"protected", alive && !admin && !phien},
                        {"helperAlive", alive},
                        {"childIsAdmin", admin},
                        {"childUser", c->childUser}};
    if (admin)
        s["reason"] = "Tài khoản " + c->childUser +
                      " đang là quản trị — con tắt được TovuControl. Đổi sang tài khoản thường.";
    else if (!alive)
        s["reason"] = "Ứng dụng TovuControl trong phiên của con không chạy (con chưa đăng nhập "
                      "hoặc đã tắt).";
    else if (phien)
        s["reason"] = *phien;
    return s;
}

bool Daemon::duocTin(std::uint32_t uid, const std::optional<AgentConfig>& c) const {
    if (uid == 0 || dev) return true;
    if (!c || uid == Ipc::unknownUid) return false;
    const auto childUid = uidCua(c->childUser);
    return childUid && *childUid == uid;
}

IpcResponse Daemon::xuLy(const IpcRequest& request, std::uint32_t uid) {
    const auto c = cauHinh();
    if (!duocTin(uid, c)) return IpcResponse::failure("Không phải tài khoản được quản lý");
    if (!c) return IpcResponse::failure("Máy chưa ghép với bố mẹ");
    {
        const auto now = clock_.now();
        Lock g(khoa);
        helperLanCuoi = now;
    }

    const auto& op = request.op;
    if (op == "policy") {
        auto r = thanhCong();
        r.policy = policyHieuLuc();
        Lock g(khoa);
        r.online = online;
        return r;
    }
    if (op == "usage") return nhanUsage(request);
    if (op == "usageToday") {
        const auto homNay = UsageTracker::ngay(clock_.now());
        auto r = thanhCong();
        r.entries.emplace();
        Lock g(khoa);
        std::copy_if(st.usage.begin(), st.usage.end(), std::back_inserter(*r.entries),
                     [&](const UsageEntry& e) { return e.day == homNay; });
        return r;
    }
    if (op == "request") return guiYeuCau(request, *c);
    if (op == "requestState") return hoiYeuCau(request, *c);
    return IpcResponse::failure("Không hiểu yêu cầu " + op);
}

void Daemon::gop(const std::vector<UsageEntry>& entries) {
    const auto homNay = UsageTracker::ngay(clock_.now());
    {
        Lock g(khoa);
        for (const auto& e : entries) {
            if (!dungDuoc(e, homNay)) continue;
            auto it = std::find_if(st.usage.begin(), st.usage.end(), [&](const UsageEntry& s) {
                return s.day == e.day && s.appId == e.appId;
            });
            if (it == st.usage.end()) {
                st.usage.push_back(e);
            } else if (it->minutes < e.minutes) {
                it->minutes = e.minutes;
                it->appName = e.appName;
            }
        }
        std::set<std::string> days;
        for (const auto& e : st.usage)
            days.insert(e.day);
        while (days.size() > keptDays)
            days.erase(days.begin());
        std::erase_if(st.usage, [&](const UsageEntry& e) { return !days.contains(e.day); });
    }
    luu();
}

IpcResponse Daemon::nhanUsage(const IpcRequest& request) {
    gop(request.entries.value_or(std::vector<UsageEntry>{}));

    auto r = thanhCong();
    r.policy = policyHieuLuc();
    if (r.policy && r.policy->locked) {
        bool localLock;
        {
            Lock g(khoa);
            localLock = st.policy && !st.policy->locked;
        }
        // The countdown or a grant ran out here: the server should learn it and answer now.
        if (localLock) dongBoNen();
    }
    Lock g(khoa);
    r.online = online;
    return r;
}

IpcResponse Daemon::guiYeuCau(const IpcRequest& request, const AgentConfig& c) {
    RequestResult result;
    try {
        result = ApiClient(c.server, c.token)
                     .request(request.kind.value_or("them_gio"), request.minutes.value_or(30),
                              request.appId, request.appName, request.note);
    } catch (const std::exception&) {
        return IpcResponse::failure("Chưa gửi được — máy đang mất mạng");
    }
    // Granted at once: store the new policy before the agent asks for it.
    if (result.grantEndsAt) dongBo();
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
    if (state.grantEndsAt) dongBo();
    auto r = thanhCong();
    r.state = std::move(state);
    return r;
}

void Daemon::dongBoNen() {
    Lock g(nenKhoa_);
    // One such pass at a time: the child's agent can send "usage" as often as it likes.
    if (nenDangChay_) return;
    if (nen_.joinable()) nen_.join(); // already finished
    nenDangChay_ = true;
    try {
        nen_ = std::thread([this] {
            dongBo();
            nenDangChay_ = false;
        });
    } catch (const std::system_error&) {
        nenDangChay_ = false; // no thread now; the next "usage" tries again
    }
}

void Daemon::luu() {
    Lock g(khoa);
    try {
        FileIO::write(st, options_.statePath);
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
