#pragma once

#include "DaemonState.hpp"
#include "SessionWatch.hpp"
#include "SyncLoop.hpp"
#include "TovuCore/AppIdentity.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuProtocol/Clock.hpp"
#include "TovuProtocol/Models.hpp"
#include "UsageBook.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace tovu {

// The root daemon's state and operations: sync passes with the parents' server, the policy in
// force, the protection status, and the answers to the agent's socket requests. Every
// operation may run on any thread at the same time as the others.
class Daemon final : public SessionWatch::Host, public SyncLoop::Host {
public:
    // Where the daemon's files live and how it reaches the system; tests replace the parts.
    struct Options {
        std::string configPath;
        std::string statePath;
        // Receives each finished log line; empty: one write(2) to standard error.
        std::function<void(std::string_view line)> logSink;
        // Empty: platform::isAdmin.
        std::function<bool(const std::string& user)> isAdmin;
        // The agent's executable: only requests from a process running it (and nothing of the
        // child's besides) show that the agent is alive and name the minutes.
        std::string agentPath;
        // Empty: FileIO::write to statePath.
        std::function<void(const DaemonState& state)> saveState;
        // The account the lock screen's session runs as; trusted on the socket like root.
        std::string lockUser;
        // Where the installed apps' desktop entries are, for their names; empty: the system's.
        std::vector<std::string> appDirs;
        // Empty: the caller runs agentPath, untouched by the child (see laAgentThat).
        std::function<bool(const Ipc::Peer& peer)> isAgent;
        // The ids of the apps of the child running in a login session (empty: any); empty: read
        // from /proc.
        std::function<std::set<std::string>(std::uint32_t uid, const std::string& session)>
            runningApps;
        // The desktop shells whose word on the app in front names minutes.
        std::vector<std::string> shells{"/usr/bin/gnome-shell", "/usr/bin/kwin_wayland"};
        // Where logind keeps its sessions' records (their controller among them).
        std::string logindSessions = "/run/systemd/sessions";
    };

    // What the daemon asks of the watch on the child's sessions.
    struct Hooks {
        // Why the daemon cannot lock, count or enforce in every session of the child, for the
        // protection status.
        std::function<std::optional<std::string>()> phienLoi;
        // Brings the display manager's login screen to the front; the error to show, if any.
        std::function<std::optional<std::string>()> dangNhapKhac;
        // The last program of the child that the rules ended, told with the policy.
        std::function<std::optional<EndedApp>()> daDong;
        // Runs after each sync pass that stored a policy.
        std::function<void()> khiCoPolicy;
    };

    // The shell extension's folder name: a copy of it in the child's own data folders would run
    // in place of the installed one.
    static constexpr const char* shellExtension = "tovucontrol@morvane.vn";

    // Requests a child may send in an hour.
    static constexpr std::size_t maxXinMoiGio = 10;

    Daemon(const Clock& clock, std::optional<AgentConfig> config, DaemonState state, bool trial,
           Options options);
    // Stops the sync loop and waits for a background sync pass still running.
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    const Clock& clock() const override { return clock_; }
    // Trial mode: any local user is served.
    bool dev() const { return dev_; }
    // Set before the socket serves and the sync loop starts.
    void setHooks(Hooks hooks) { hooks_ = std::move(hooks); }
    UsageBook& book() { return book_; }
    SyncLoop& sync() { return sync_; }

    // Trial mode: TOVUC_DEV is exactly "1".
    static bool devTuMoiTruong();
    // TOVUC_AGENT, else the agent installed beside the daemon.
    static std::string agentTuMoiTruong();

    // A copy of cfg.
    std::optional<AgentConfig> cauHinh() override;
    std::optional<std::uint32_t> uidCon() override;
    std::optional<std::uint32_t> uidManKhoa() const override;
    // Reads config.json again while unpaired, so a pairing made after start is picked up.
    void docLaiCfg() override;

    std::int64_t tongHomNay() override { return book_.tongHomNay(); }
    // The policy in force now; absent before the first successful sync.
    std::optional<Policy> policyHieuLuc() override;
    bool conLaQuanTri(const std::string& user) const;
    // The protection status sent with every sync; empty while unpaired.
    nlohmann::json trangThai() override;
    // The answer for a caller that the caller check refuses, before anything of it is read.
    std::optional<IpcResponse> tuChoi(const Ipc::Peer& peer);
    // Requests that xuLy answers from memory, without waiting.
    static bool traLoiNgay(const IpcRequest& request);
    // Answers one socket request. Never throws.
    IpcResponse xuLy(const IpcRequest& request, const Ipc::Peer& peer);
    // Whether the caller is the installed agent, and nothing the child's account did to it:
    // not traced, no loader variables, no code of theirs mapped, in the daemon's own user
    // namespace, non-dumpable, and the only holder of its end of the connection.
    bool laAgentThat(const Ipc::Peer& peer) const;
    // Books the child's minutes of use on day as counted by the daemon, and saves.
    void demPhut(const std::string& day, std::int64_t minutes) override;
    // Whether the caller is the desktop shell of one of the child's sessions: the system's shell
    // program, the session's controller as logind records it, and nothing of the child's in it
    // (no loader or dconf variables, no code of theirs, no tracer, no copy of the extension in
    // their data folders).
    bool laShellThat(const Ipc::Peer& peer);
    // What state.json holds now.
    DaemonState snapshot() const;
    // Writes a snapshot, outside every lock but the saves' own; a failure is ignored, the next
    // save tries again. A save never overwrites a newer one.
    void luu() override;
    // One line "[2026-12-05T16:10:14Z] message" to the log.
    void log(std::string_view message) const override;

private:
    void khiCoPolicy() override;
    bool duocTin(std::uint32_t uid, const std::optional<AgentConfig>& c) const;
    // Whether uid is the lock screen's account.
    bool laManKhoa(std::uint32_t uid) const;
    IpcResponse nhanUsage(const IpcRequest& request, const Ipc::Peer& peer);
    IpcResponse nhanTruocMat(const IpcRequest& request);
    IpcResponse guiYeuCau(const IpcRequest& request, const Ipc::Peer& peer, const AgentConfig& c);
    IpcResponse hoiYeuCau(const IpcRequest& request, const AgentConfig& c);
    // The refusal for an agent when another one already holds its login session.
    std::optional<IpcResponse> moiAgent(const Ipc::Peer& peer);
    // The name the parents see for an app: the installed entry's, or the path of a program of
    // the child's own; absent for an id that names neither.
    std::optional<std::string> tenApp(const std::string& id);
    // The installed apps, read again when id is not among them (at most once a minute).
    std::shared_ptr<const AppCatalog> katalog(const std::string& id);
    // The apps of the child running in the session of the caller.
    std::set<std::string> dangChay(const Ipc::Peer& peer) const;

    const Clock& clock_;
    Options options_;
    const bool dev_;
    Hooks hooks_;

    mutable std::mutex mutex_; // guards cfg_, helperLanCuoi_ and agents_
    // Absent until the computer is paired; written only by the sync loop, at most once.
    std::optional<AgentConfig> cfg_;
    std::optional<Time> helperLanCuoi_;
    // The agent of each login session: its pid and start time.
    std::map<std::string, std::pair<std::int32_t, std::uint64_t>> agents_;

    std::mutex catalogMutex_; // guards catalog_ and catalogLuc_
    std::shared_ptr<const AppCatalog> catalog_;
    Time catalogLuc_;

    std::mutex xinMutex_; // guards choXin_ and daXin_
    // The requests still waiting for the parents, by kind and app: their id and when sent.
    std::map<std::pair<std::string, std::string>, std::pair<std::string, Time>> choXin_;
    std::deque<Time> daXin_; // when the requests of the last hour went

    std::mutex luuMutex_;     // one save at a time
    std::uint64_t daLuu_ = 0; // the change a finished save wrote, under luuMutex_

    UsageBook book_;
    // Last: its passes use everything above until it has stopped.
    SyncLoop sync_;
};

} // namespace tovu
