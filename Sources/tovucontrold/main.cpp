#include "Daemon.hpp"
#include "SessionWatch.hpp"
#include "TovuCore/Api.hpp"
#include "TovuCore/AppIdentity.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <thread>
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

// A trial may shorten the grace before an unguarded session is ended, and name its own apps.
tovu::SessionWatch::Options sessionOptions(bool trial) {
    tovu::SessionWatch::Options o;
    o.appDirs = tovu::AppCatalog::systemDataDirs();
    if (!trial) return o;
    if (const char* grace = std::getenv("TOVUC_LOCK_GRACE"))
        o.grace = std::chrono::seconds(std::atoi(grace));
    if (const char* apps = std::getenv("TOVUC_APPS_DIR")) o.appDirs = {apps};
    return o;
}

} // namespace

int main() {
    using namespace tovu;
    // Agents that hang up early must not kill the daemon.
    std::signal(SIGPIPE, SIG_IGN);
    // Any local user may send lines of a megabyte; they must not leave the daemon big.
    platform::keepMemoryLean();

    Daemon::Options options{
        Paths::config(), Paths::state(), {}, {}, Daemon::agentTuMoiTruong(), {}};
    Daemon daemon(SystemClock::shared(), FileIO::read<AgentConfig>(options.configPath),
                  FileIO::read<DaemonState>(options.statePath).value_or(DaemonState{}),
                  Daemon::devTuMoiTruong(), options);

    SessionWatch watch(daemon, sessionOptions(daemon.dev));
    daemon.phienLoi = [&watch] { return watch.lyDo(); };

    Ipc::Options serving;
    serving.admit = [&daemon](const Ipc::Peer& peer) { return daemon.tuChoi(peer); };
    serving.quick = Daemon::traLoiNgay;
    std::unique_ptr<Ipc::Server> server;
    try {
        server = Ipc::serve(
            Paths::socket(),
            [&](const IpcRequest& request, const Ipc::Peer& peer) {
                auto response = daemon.xuLy(request, peer);
                if (response.ok && request.display && daemon.laAgentThat(peer.pid))
                    watch.agentGoi(peer.pid, *request.display);
                // Reported minutes may have run out the day's time.
                if (request.op == "usage") watch.baoDoi();
                return response;
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

    for (;;) {
        daemon.docLaiCfg();
        const int delay = daemon.dongBo();
        watch.baoDoi();
        std::this_thread::sleep_for(std::chrono::seconds(delay));
    }
}
