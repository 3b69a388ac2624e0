#include "ProcessGuard.hpp"

#include "TovuCore/Rules.hpp"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace tovu {
namespace {

using Lock = std::lock_guard<std::mutex>;

std::optional<std::uint32_t> realUid(std::int32_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("Uid:")) return static_cast<std::uint32_t>(std::stoul(line.substr(4)));
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
};

} // namespace

ProcessGuard::ProcessGuard(std::vector<std::string> dataDirs, Log log)
    : dataDirs_(std::move(dataDirs))
    , log_(std::move(log)) {}

ProcessGuard::~ProcessGuard() {
    watch_.reset();
}

void ProcessGuard::apDung(const std::optional<Policy>& policy, std::uint32_t uid) {
    if (!policy) {
        watch_.reset();
        Lock g(khoa_);
        policy_.reset();
        catalog_.reset(); // read again next time: apps may be installed meanwhile
        return;
    }
    bool changed;
    {
        Lock g(khoa_);
        changed = policy_ != policy || uid_ != uid;
        policy_ = policy;
        uid_ = uid;
        if (!catalog_) catalog_ = std::make_shared<const AppCatalog>(AppCatalog::load(dataDirs_));
    }
    if (!watch_) {
        try {
            watch_ = std::make_unique<ProcessWatch>([this](std::int32_t pid) {
                if (pid == 0)
                    quet();
                else
                    xet(pid);
            });
        } catch (const std::system_error& e) {
            if (!logged_) log_(std::string("Không theo dõi được chương trình mới: ") + e.what());
            logged_ = true;
        }
    }
    if (changed) quet();
}

void ProcessGuard::quet() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos)
            xet(static_cast<std::int32_t>(std::stol(name)));
    }
}

void ProcessGuard::xet(std::int32_t pid) {
    std::optional<Policy> policy;
    std::uint32_t uid;
    std::shared_ptr<const AppCatalog> catalog;
    {
        Lock g(khoa_);
        if (!policy_) return;
        policy = policy_;
        uid = uid_;
        catalog = catalog_;
    }
    const PidFd process(pid);
    if (process.fd < 0 || realUid(pid) != uid) return;
    const auto app = catalog->identify(pid);
    if (!app.installed || app.desktopComponent || Rules::choMo(app.id, *policy)) return;
    if (syscall(SYS_pidfd_send_signal, process.fd, SIGKILL, nullptr, 0) == 0)
        log_("Đã đóng " + app.name + " (" + app.id + "): chưa được mở lúc này");
}

} // namespace tovu
