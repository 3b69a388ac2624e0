#include "Daemon.hpp"
#include "TovuCore/Api.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <chrono>
#include <csignal>
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

    Ipc::Options serving;
    serving.admit = [&daemon](const Ipc::Peer& peer) { return daemon.tuChoi(peer); };
    serving.quick = Daemon::traLoiNgay;
    std::unique_ptr<Ipc::Server> server;
    try {
        server = Ipc::serve(
            Paths::socket(),
            [&daemon](const IpcRequest& request, const Ipc::Peer& peer) {
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

    for (;;) {
        daemon.docLaiCfg();
        std::this_thread::sleep_for(std::chrono::seconds(daemon.dongBo()));
    }
}
