#include "ProcessGuard.hpp"

#include "TovuCore/Paths.hpp"
#include "TovuCore/Rules.hpp"

#include <array>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
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

std::string proc(std::int32_t pid, const char* what) {
    return "/proc/" + std::to_string(pid) + "/" + what;
}

std::optional<std::uint32_t> statusField(std::int32_t pid, std::string_view field) {
    std::ifstream status(proc(pid, "status"));
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(field))
            return static_cast<std::uint32_t>(std::stoul(line.substr(field.size())));
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

bool writable(const struct stat& st, std::uint32_t uid, const std::vector<gid_t>& groups) {
    if (st.st_uid == uid || (st.st_mode & S_IWOTH)) return true;
    return (st.st_mode & S_IWGRP) &&
           std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
}

// Whether the child can change what is at path, or put something else there: the file itself,
// or a folder on the way to it (a sticky folder such as /tmp lets them change only their own).
bool theirs(const fs::path& path, std::uint32_t uid, const std::vector<gid_t>& groups) {
    struct stat st {};
    bool below = false; // path names something inside the folder looked at
    for (fs::path p = path; !p.empty(); p = p.parent_path()) {
        if (::stat(p.c_str(), &st) == 0) {
            if (st.st_uid == uid) return true;
            if (writable(st, uid, groups) && !(below && (st.st_mode & S_ISVTX))) return true;
            below = true;
        }
        if (p == p.root_path()) break;
    }
    return false;
}

// The entries of a variable's search list, relative ones (an empty one is the current folder)
// taken from the process's folder.
std::vector<fs::path> entries(const std::string& value, const fs::path& cwd) {
    std::vector<fs::path> out;
    std::size_t start = 0;
    for (;;) {
        const auto end = value.find(':', start);
        const fs::path entry = value.substr(start, end - start);
        out.push_back(entry.is_absolute() ? entry : cwd / entry);
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

std::optional<std::string> variable(std::int32_t pid, std::uint32_t uid,
                                    const std::vector<gid_t>& groups) {
    std::ifstream in(proc(pid, "environ"));
    std::error_code ec;
    const fs::path cwd = fs::read_symlink(proc(pid, "cwd"), ec);
    std::string var;
    while (std::getline(in, var, '\0')) {
        const auto eq = var.find('=');
        if (eq == std::string::npos || eq + 1 == var.size()) continue;
        const std::string name = var.substr(0, eq);
        if (std::find(codeVariables.begin(), codeVariables.end(), name) != codeVariables.end())
            return name;
        if (std::find(searchVariables.begin(), searchVariables.end(), name) ==
            searchVariables.end())
            continue;
        for (const auto& entry : entries(var.substr(eq + 1), cwd))
            if (theirs(entry, uid, groups)) return name;
    }
    return std::nullopt;
}

// The first executable mapping of a file the child can write, by its name in the maps.
std::optional<std::string> mapping(std::int32_t pid, std::uint32_t uid,
                                   const std::vector<gid_t>& groups) {
    std::ifstream in(proc(pid, "maps"));
    std::string line;
    while (std::getline(in, line)) {
        // "start-end perms offset dev inode   path"
        const auto space = line.find(' ');
        if (space == std::string::npos || line.size() < space + 5 || line[space + 3] != 'x')
            continue;
        const auto path = line.find('/');
        if (path == std::string::npos) continue; // anonymous memory
        // The mapped file itself, even when deleted or a memfd.
        struct stat st {};
        if (::stat(proc(pid, ("map_files/" + line.substr(0, space)).c_str()).c_str(), &st) != 0)
            continue;
        if (writable(st, uid, groups)) return line.substr(path);
    }
    return std::nullopt;
}

std::vector<gid_t> groupsOf(std::uint32_t uid) {
    std::vector<char> buf(4096);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found) return {};
    std::vector<gid_t> groups(64);
    int n = static_cast<int>(groups.size());
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<std::size_t>(n));
        getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n);
    }
    groups.resize(static_cast<std::size_t>(std::max(n, 0)));
    return groups;
}

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
        if (uid_ != uid || groups_.empty()) groups_ = groupsOf(uid);
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
        if (!Rules::choMo(app.id, policy)) return "chưa được mở lúc này";
        if (statusField(pid, "TracerPid:").value_or(0) != 0)
            return "đang bị chương trình khác điều khiển";
        if (const auto name = variable(pid, uid, groups))
            return "chạy kèm mã của con (biến " + *name + ")";
    } else {
        // A program of the child's own, or a copy they made: only the exact path the parents
        // allowed may run.
        struct stat st {};
        const bool own =
            (::stat(proc(pid, "exe").c_str(), &st) == 0 && writable(st, uid, groups)) ||
            (fs::path(app.id).is_absolute() && theirs(app.id, uid, groups));
        if (own) {
            if (!Rules::choMo(app.id, policy)) return "chương trình con tự chép hoặc tự viết";
            return std::nullopt; // the very program the parents allowed
        }
    }
    if (const auto file = mapping(pid, uid, groups)) return "chạy kèm mã của con (" + *file + ")";
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
    if (process.fd < 0 || statusField(pid, "Uid:") != uid) return;
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
    if (syscall(SYS_pidfd_send_signal, process.fd, SIGKILL, nullptr, 0) == 0)
        log_("Đã đóng " + app.name + " (" + app.id + "): " + *why);
}

} // namespace tovu
