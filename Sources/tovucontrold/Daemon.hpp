#pragma once

#include "DaemonState.hpp"
#include "TovuCore/Clock.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuCore/Models.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

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
    };

    Daemon(const Clock& clock, std::optional<AgentConfig> config, DaemonState state, bool trial,
           Options options);
    // Waits for a background sync pass still running.
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Trial mode: TOVUC_DEV is exactly "1".
    static bool devTuMoiTruong();

    // Guards st, helperLanCuoi, online and cfg; held only for copies, updates and the state
    // save, never across a network call, and never taken twice.
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
    // Why the child's sessions are not all covered, for the protection status; set before the
    // sync loop starts.
    std::function<std::optional<std::string>()> phienLoi;
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
    // Answers one socket request from the caller with user id uid. Never throws.
    IpcResponse xuLy(const IpcRequest& request, std::uint32_t uid);
    // Merges usage into st.usage (minutes of a day never go down), keeps three days, saves.
    void gop(const std::vector<UsageEntry>& entries);
    // Writes state.json under khoa; a failure is ignored, the next save tries again.
    void luu();
    // One line "[2026-12-05T16:10:14Z] message" to the log.
    void log(std::string_view message) const;

private:
    bool duocTin(std::uint32_t uid, const std::optional<AgentConfig>& c) const;
    std::int64_t tongNgay(const std::string& day) const;
    IpcResponse nhanUsage(const IpcRequest& request);
    IpcResponse guiYeuCau(const IpcRequest& request, const AgentConfig& c);
    IpcResponse hoiYeuCau(const IpcRequest& request, const AgentConfig& c);
    // Starts a sync pass on a thread of its own unless one started here is still running.
    void dongBoNen();

    const Clock& clock_;
    Options options_;

    std::mutex nenKhoa_; // guards nen_
    std::thread nen_;
    std::atomic<bool> nenDangChay_{false};
};

} // namespace tovu
