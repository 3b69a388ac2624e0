#include "Daemon.hpp"
#include "SessionWatch.hpp"
#include "TovuCore/Api.hpp"
#include "TovuCore/AppIdentity.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace {

extern "C" void onSigterm(int) {
    _exit(0);
}

void installSignals() {
    struct sigaction sa {};
    sa.sa_handler = onSigterm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
}

// Keeps the magic SysRq keys that end or unhook the programs on the console (the lock screen
// among them) away from whoever sits at the keyboard; syncing and rebooting stay.
void limitSysRq(tovu::Daemon& daemon) {
    constexpr int console = 4, dumps = 8, signals = 64;
    const auto text = tovu::FileIO::readText("/proc/sys/kernel/sysrq");
    if (!text) return;
    int value = std::atoi(text->c_str());
    if (value == 1) value = 0x1ff; // every function
    const int limited = value & ~(console | dumps | signals);
    if (limited == value) return;
    if (std::FILE* f = std::fopen("/proc/sys/kernel/sysrq", "w")) {
        std::fprintf(f, "%d\n", limited);
        if (std::fclose(f) == 0)
            daemon.log("Giới hạn phím SysRq: " + std::to_string(value) + " → " +
                       std::to_string(limited));
    }
}

// Where the installed apps are: a trial may name its own.
std::vector<std::string> appDirs(bool trial) {
    const char* apps = trial ? std::getenv("TOVUC_APPS_DIR") : nullptr;
    return apps ? std::vector<std::string>{apps} : tovu::AppCatalog::systemDataDirs();
}

// A trial names its own lock screen, monitors and apps, and may shorten the grace before a
// session the lock screen cannot cover is ended.
tovu::SessionWatch::Options sessionOptions(tovu::Daemon& daemon) {
    tovu::SessionWatch::Options o;
    o.appDirs = appDirs(daemon.dev());
    const auto log = [&daemon](std::string_view m) { daemon.log(m); };
    if (!daemon.dev()) {
        o.launcher = tovu::LockLauncher::systemd(log);
        return o;
    }
    const char* command = std::getenv("TOVUC_LOCK_CMD");
    o.launcher = tovu::LockLauncher::command(command ? command : "", log);
    if (const char* grace = std::getenv("TOVUC_LOCK_GRACE"))
        o.grace = std::chrono::seconds(std::atoi(grace));
    if (const char* drm = std::getenv("TOVUC_DRM_DIR")) o.drm = drm;
    return o;
}

// The lock screen's account: its system user, or the one a trial names.
std::string lockUser(bool trial) {
    const char* user = trial ? std::getenv("TOVUC_LOCK_USER") : nullptr;
    return user ? user : "tovucontrol-lock";
}

} // namespace

int main() {
    using namespace tovu;
    // Agents that hang up early must not kill the daemon.
    std::signal(SIGPIPE, SIG_IGN);
    // Any local user may send lines of a megabyte; they must not leave the daemon big.
    platform::keepMemoryLean();

    const bool trial = Daemon::devTuMoiTruong();
    Daemon::Options options;
    options.configPath = Paths::config();
    options.statePath = Paths::state();
    options.agentPath = Daemon::agentTuMoiTruong();
    options.lockUser = lockUser(trial);
    options.appDirs = appDirs(trial);
    // A trial names its own shells and logind's records of sessions.
    if (const char* shells = trial ? std::getenv("TOVUC_SHELLS") : nullptr)
        options.shells = {shells};
    if (const char* records = trial ? std::getenv("TOVUC_LOGIND_DIR") : nullptr)
        options.logindSessions = records;
    Daemon daemon(SystemClock::shared(), FileIO::read<AgentConfig>(options.configPath),
                  FileIO::read<DaemonState>(options.statePath).value_or(DaemonState{}), trial,
                  options);
    if (!trial) limitSysRq(daemon);

    SessionWatch watch(daemon, sessionOptions(daemon));
    daemon.setHooks({[&watch] { return watch.lyDo(); }, [&watch] { return watch.dangNhapKhac(); },
                     [&watch] { return watch.daDong(); }, [&watch] { watch.baoDoi(); }});

    Ipc::Options serving;
    serving.admit = [&daemon](const Ipc::Peer& peer) { return daemon.tuChoi(peer); };
    serving.quick = Daemon::traLoiNgay;
    std::unique_ptr<Ipc::Server> server;
    try {
        server = Ipc::serve(
            Paths::socket(),
            [&](const IpcRequest& request, const Ipc::Peer& peer) {
                return daemon.xuLy(request, peer);
            },
            serving);
    } catch (const ApiError& e) {
        daemon.log("Không mở được socket: " + e.description());
        return 1;
    }

    if (const auto c = daemon.cauHinh())
        daemon.log("Đang quản lý tài khoản " + c->childUser + ", máy chủ " + c->server);
    else
        daemon.log("Chưa ghép — chờ tovucontrol-setup");

    installSignals();

    daemon.sync().batDau();
    for (;;)
        pause();
}
