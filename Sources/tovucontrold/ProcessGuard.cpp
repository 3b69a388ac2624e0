#include "ProcessGuard.hpp"

#include "ProcessFacts.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/Rules.hpp"
#include "TovuProtocol/Iso.hpp"

#include <algorithm>
#include <array>
#include <csignal>
#include <filesystem>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace tovu {
namespace {

namespace fs = std::filesystem;
using Lock = std::lock_guard<std::mutex>;

// Variables that make a program run code named in them: any value counts.
constexpr std::array codeVariables = {
    "LD_PRELOAD",   "LD_AUDIT",          "PYTHONSTARTUP", "PERL5OPT",         "RUBYOPT",
    "NODE_OPTIONS", "JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS", "LUA_INIT",
    "LUA_PATH",     "LUA_CPATH",         "TCLLIBPATH"};
// Variables that list where a program looks for code: they count when one of those places is
// the child's to write.
constexpr std::array searchVariables = {"LD_LIBRARY_PATH",
                                        "PYTHONPATH",
                                        "PYTHONHOME",
                                        "PYTHONUSERBASE",
                                        "PERL5LIB",
                                        "PERLLIB",
                                        "RUBYLIB",
                                        "NODE_PATH",
                                        "GJS_PATH",
                                        "GI_TYPELIB_PATH",
                                        "CLASSPATH",
                                        "QT_PLUGIN_PATH",
                                        "QML2_IMPORT_PATH",
                                        "QML_IMPORT_PATH",
                                        "GTK_PATH",
                                        "GST_PLUGIN_PATH",
                                        "GST_PLUGIN_SYSTEM_PATH",
                                        "GIO_EXTRA_MODULES",
                                        "GCONV_PATH",
                                        "LIBGL_DRIVERS_PATH"};

// The first variable that brings in code of the child's: a code variable with any value, or a
// search list with a place of theirs (relative places, and an empty one, are the process's
// current folder).
std::optional<std::string> variable(std::int32_t pid, std::uint32_t uid,
                                    const std::vector<gid_t>& groups) {
    std::error_code ec;
    const fs::path cwd = fs::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec);
    for (const auto& var : ProcessFacts::environment(pid)) {
        const auto eq = var.find('=');
        if (eq == std::string::npos || eq + 1 == var.size()) continue;
        const std::string name = var.substr(0, eq);
        if (std::ranges::find(codeVariables, name) != codeVariables.end()) return name;
        if (std::ranges::find(searchVariables, name) == searchVariables.end()) continue;
        for (std::size_t start = eq + 1;;) {
            const auto end = var.find(':', start);
            const fs::path entry = var.substr(start, end - start);
            if (ProcessFacts::theirs((entry.is_absolute() ? entry : cwd / entry).string(), uid,
                                     groups))
                return name;
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    return std::nullopt;
}

// A handle on the process itself, so that a pid reused meanwhile is never signalled.
struct PidFd {
    int fd;
    explicit PidFd(std::int32_t pid)
        : fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
    ~PidFd() {
        if (fd >= 0) ::close(fd);
    }
    bool alive() const { return syscall(SYS_pidfd_send_signal, fd, 0, nullptr, 0) == 0; }
};

} // namespace

ProcessGuard::ProcessGuard(std::vector<std::string> dataDirs, Log log)
    : dataDirs_(std::move(dataDirs))
    , log_(std::move(log)) {}

ProcessGuard::~ProcessGuard() {
    watch_.reset();
    {
        Lock g(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
    if (later_.joinable()) later_.join();
}

std::optional<std::string> ProcessGuard::loi() const {
    Lock g(mutex_);
    return loi_;
}

std::optional<EndedApp> ProcessGuard::daDong() const {
    Lock g(mutex_);
    return daDong_;
}

void ProcessGuard::apDung(const std::optional<Policy>& policy, std::uint32_t uid) {
    // Root owns every file and could stop the daemon anyway: its programs are never judged.
    if (!policy || uid == 0) {
        watch_.reset();
        Lock g(mutex_);
        policy_.reset();
        catalog_.reset(); // read again next time: apps may be installed meanwhile
        return;
    }
    bool changed;
    {
        Lock g(mutex_);
        changed = policy_ != policy || uid_ != uid;
        policy_ = policy;
        if (uid_ != uid || groups_.empty()) groups_ = ProcessFacts::groupsOf(uid);
        uid_ = uid;
        if (!catalog_) catalog_ = std::make_shared<const AppCatalog>(AppCatalog::load(dataDirs_));
        if (!later_.joinable()) later_ = std::thread([this] { sau(); });
    }
    if (!watch_) {
        try {
            watch_ = std::make_unique<ProcessWatch>([this](std::int32_t pid) {
                if (pid == 0)
                    quet();
                else
                    xet(pid, false);
            });
            Lock g(mutex_);
            loi_.reset();
        } catch (const std::system_error& e) {
            Lock g(mutex_);
            if (!loi_) log_(std::string("Không theo dõi được chương trình mới: ") + e.what());
            loi_ = e.what();
        }
    }
    if (changed) quet();
}

void ProcessGuard::quet() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos)
            xet(static_cast<std::int32_t>(std::stol(name)), true);
    }
}

void ProcessGuard::sau() {
    std::unique_lock g(mutex_);
    while (!quit_) {
        if (again_.empty()) {
            cv_.wait(g);
            continue;
        }
        const auto [due, pid] = again_.front();
        if (cv_.wait_until(g, due, [this] { return quit_; })) return;
        again_.pop_front();
        g.unlock();
        xet(pid, true);
        g.lock();
    }
}

std::optional<std::string> ProcessGuard::lyDoDong(std::int32_t pid, const AppIdentity& app,
                                                  const Policy& policy, std::uint32_t uid,
                                                  const std::vector<gid_t>& groups) {
    if (app.installed) {
        if (!Rules::choMo(app.id, policy)) return std::string(EndedApp::notNow);
        if (ProcessFacts::statusField(pid, "TracerPid:").value_or(0) != 0)
            return "đang bị chương trình khác điều khiển";
        if (const auto name = variable(pid, uid, groups))
            return "chạy kèm mã của con (biến " + *name + ")";
    } else if (ProcessFacts::runsTheirFile(pid, uid, groups) ||
               (fs::path(app.id).is_absolute() && ProcessFacts::theirs(app.id, uid, groups))) {
        // A program of the child's own, or a copy they made: only the exact path the parents
        // allowed may run.
        if (!Rules::choMo(app.id, policy)) return "chương trình con tự chép hoặc tự viết";
        return std::nullopt; // the very program the parents allowed
    }
    if (const auto file = ProcessFacts::theirCode(pid, uid, groups))
        return "chạy kèm mã của con (" + *file + ")";
    return std::nullopt;
}

void ProcessGuard::xet(std::int32_t pid, bool again) {
    std::optional<Policy> policy;
    std::uint32_t uid;
    std::vector<gid_t> groups;
    std::shared_ptr<const AppCatalog> catalog;
    {
        Lock g(mutex_);
        if (!policy_) return;
        policy = policy_;
        uid = uid_;
        groups = groups_;
        catalog = catalog_;
    }
    const PidFd process(pid);
    if (process.fd < 0 || ProcessFacts::statusField(pid, "Uid:") != uid) return;
    const auto app = catalog->identify(pid);
    if (app.id.empty() || app.desktopComponent) return;
    const auto why = lyDoDong(pid, app, *policy, uid, groups);
    // What was read may belong to a process that took the pid after this one ended.
    if (!process.alive()) return;
    if (!why) {
        if (!again) {
            Lock g(mutex_);
            again_.emplace_back(std::chrono::steady_clock::now() + sauKhiNap, pid);
            cv_.notify_all();
        }
        return;
    }
    if (syscall(SYS_pidfd_send_signal, process.fd, SIGKILL, nullptr, 0) != 0) return;
    log_("Đã đóng " + app.name + " (" + app.id + "): " + *why);
    Lock g(mutex_);
    daDong_ = EndedApp{app.id, app.name, *why, Iso::format(std::chrono::system_clock::now())};
}

} // namespace tovu
