#pragma once

#include "DaemonState.hpp"
#include "TovuCore/AppIdentity.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuProtocol/Clock.hpp"
#include "TovuProtocol/Models.hpp"

#include <chrono>
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
#include <thread>
#include <unordered_map>

namespace tovu {

// The root daemon's state and operations: sync passes with the parents' server, the policy in
// force, the protection status, and the answers to the agent's socket requests. Every
// operation may run on any thread at the same time as the others.
class Daemon {
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

    // The shell extension's folder name: a copy of it in the child's own data folders would run
    // in place of the installed one.
    static constexpr const char* shellExtension = "tovucontrol@morvane.vn";
    // How long the shell's word on the app in front holds.
    static constexpr std::chrono::seconds truocMatCon{15};

    // Requests a child may send in an hour.
    static constexpr std::size_t maxXinMoiGio = 10;

    // Minutes the daemon counted that no report of the app in front has named.
    static constexpr const char* khongRoId = "vn.morvane.tovucontrold.khongro";
    static constexpr const char* khongRoTen = "Không rõ ứng dụng";

    Daemon(const Clock& clock, std::optional<AgentConfig> config, DaemonState state, bool trial,
           Options options);
    // Waits for a background sync pass still running.
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    const Clock& clock() const { return clock_; }

    // Trial mode: TOVUC_DEV is exactly "1".
    static bool devTuMoiTruong();
    // TOVUC_AGENT, else the agent installed beside the daemon.
    static std::string agentTuMoiTruong();

    // Guards st, helperLanCuoi, online and cfg; held only for copies and updates, never across
    // a network call or a file write, and never taken twice.
    std::mutex khoa;
    // Absent until the Mac is paired; written only by the main loop, at most once.
    std::optional<AgentConfig> cfg;
    DaemonState st;
    std::optional<Time> helperLanCuoi;
    bool online = false;
    const bool dev;

    // A copy of cfg taken under khoa.
    std::optional<AgentConfig> cauHinh();
    // The managed child's user id; absent while unpaired or when the account is unknown.
    std::optional<std::uint32_t> uidCon();
    // The lock screen's account's user id; absent when there is none.
    std::optional<std::uint32_t> uidManKhoa() const;
    // Why the daemon cannot lock, count or enforce in every session of the child, for the
    // protection status; set before the sync loop starts.
    std::function<std::optional<std::string>()> phienLoi;
    // Brings the display manager's login screen to the front; the error to show, if any. Set
    // before the socket serves.
    std::function<std::optional<std::string>()> dangNhapKhac;
    // The last program of the child that the rules ended, told with the policy. Set before the
    // socket serves.
    std::function<std::optional<EndedApp>()> daDong;
    // Runs after each sync pass that stored a policy. Set before the sync loop starts.
    std::function<void()> khiCoPolicy;
    // Reads config.json again while unpaired, so a pairing made after start is picked up.
    void docLaiCfg();

    // One sync pass; returns the delay in seconds before the next one. Never throws.
    int dongBo();
    // Today's minutes in st.usage. The caller holds khoa.
    std::int64_t tongHomNay() const;
    // The policy in force now; absent before the first successful sync.
    std::optional<Policy> policyHieuLuc();
    bool conLaQuanTri(const std::string& user) const;
    // The protection status sent with every sync; empty while unpaired.
    nlohmann::json trangThai();
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
    // Names minutes the daemon counted after the agent's report: an app's minutes of a day
    // never go down, and grow only by minutes still unnamed. Keeps three days, saves.
    void ghiUsage(const std::vector<UsageEntry>& entries);
    // The daemon's own count of the child's minutes of use on day so far; the minutes it adds
    // go to the app the child's shell last said is in front, if it said so lately, else they
    // are booked as khongRoId until a report names them. Saves when it grew.
    void demPhut(const std::string& day, std::int64_t minutes);
    // Whether the caller is the desktop shell of one of the child's sessions: the system's shell
    // program, the session's controller as logind records it, and nothing of the child's in it
    // (no loader or dconf variables, no code of theirs, no tracer, no copy of the extension in
    // their data folders).
    bool laShellThat(const Ipc::Peer& peer);
    // Writes a copy of st taken under khoa, outside it; a failure is ignored, the next save
    // tries again. A save never overwrites a newer one.
    void luu();
    // One line "[2026-12-05T16:10:14Z] message" to the log.
    void log(std::string_view message) const;

private:
    // What st.usage holds of one day, so that a merge finds an app without a search.
    struct Ngay {
        std::unordered_map<std::string, std::size_t> app; // appId → index in st.usage
        std::int64_t tong = 0;                            // every minute counted, named or not
        bool daBaoDay = false;                            // the "full" log line was written
    };

    bool duocTin(std::uint32_t uid, const std::optional<AgentConfig>& c) const;
    // Whether uid is the lock screen's account.
    bool laManKhoa(std::uint32_t uid) const;
    std::int64_t tongNgay(const std::string& day) const;
    // Merges entries into st.usage and keeps its three latest days; returns the days that have
    // just become full, for the log. naming: the entries name counted minutes (a report), else
    // they are kept minutes (read back at start). The caller holds khoa.
    std::vector<std::string> gop(const std::vector<UsageEntry>& entries, bool naming);
    // Where the day's unnamed minutes are in st.usage, added when missing; absent when the day
    // is full. The caller holds khoa.
    std::optional<std::size_t> khongRo(const std::string& day);
    // Drops all but the three latest days. The caller holds khoa.
    void giuBaNgay();
    void lapChiMuc();
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
    // Starts a sync pass on a thread of its own; while one started here runs, one more pass
    // follows it instead.
    void dongBoNen();

    const Clock& clock_;
    Options options_;

    std::map<std::string, Ngay> chiMuc_; // by day, under khoa
    // The agent of each login session: its pid and start time, under khoa.
    std::map<std::string, std::pair<std::int32_t, std::uint64_t>> agents_;

    // The app in front as the child's shell last said it, and when: under khoa.
    struct TruocMat {
        std::string id;
        std::string name;
        Time luc;
    };
    std::optional<TruocMat> truocMat_;

    std::mutex catalogMutex_; // guards catalog_ and catalogLuc_
    std::shared_ptr<const AppCatalog> catalog_;
    Time catalogLuc_;

    std::mutex xinMutex_; // guards choXin_ and daXin_
    // The requests still waiting for the parents, by kind and app: their id and when sent.
    std::map<std::pair<std::string, std::string>, std::pair<std::string, Time>> choXin_;
    std::deque<Time> daXin_; // when the requests of the last hour went
    std::uint64_t doi_ = 1;  // changes to st, under khoa

    std::mutex luuKhoa_;      // one save at a time, taken before khoa
    std::uint64_t daLuu_ = 0; // the change a finished save wrote, under luuKhoa_

    std::mutex nenKhoa_; // guards nen_, nenDangChay_ and nenLai_
    std::thread nen_;
    bool nenDangChay_ = false;
    bool nenLai_ = false;
};

} // namespace tovu
