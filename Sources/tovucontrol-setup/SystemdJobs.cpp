#include "SystemdJobs.hpp"

#include "Install.hpp"
#include "SetupError.hpp"
#include "TovuCore/Paths.hpp"

#include <filesystem>

namespace tovu {

namespace {

const std::string daemonService = std::string(Paths::daemonLabel) + ".service";
const std::string agentService = std::string(Paths::helperLabel) + ".service";

// StartLimitIntervalSec=0: restarted however often it ends, as launchd's KeepAlive does. The
// daemon writes only its support directory and its socket in /run; the rest is locked away.
constexpr std::string_view daemonUnitTemplate = R"([Unit]
Description=TovuControl daemon
StartLimitIntervalSec=0

[Service]
ExecStart=@daemon@
Restart=always
RestartSec=2
StandardError=append:@log@
ProtectSystem=strict
ReadWritePaths=@dir@ /run
ProtectHome=yes
PrivateTmp=yes
PrivateDevices=yes
UMask=0077
NoNewPrivileges=yes
RestrictSUIDSGID=yes
RestrictNamespaces=yes
RestrictRealtime=yes
RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK
ProtectKernelTunables=yes
ProtectKernelModules=yes
ProtectKernelLogs=yes
ProtectControlGroups=yes
ProtectClock=yes
ProtectHostname=yes
LockPersonality=yes
MemoryDenyWriteExecute=yes
SystemCallArchitectures=native

[Install]
WantedBy=multi-user.target
)";

// The child can end the agent; it comes back every time, in every graphical session.
constexpr std::string_view agentUnitTemplate = R"([Unit]
Description=TovuControl agent
PartOf=graphical-session.target
After=graphical-session.target
StartLimitIntervalSec=0

[Service]
ExecStart=@helper@
Restart=always
RestartSec=2
# Ends at once, with 0, where the autostart entry's agent already runs in the session.
RestartPreventExitStatus=0

[Install]
WantedBy=graphical-session.target
)";

// Every session manager starts it, and systemd's autostart generator too; the agent keeps to
// one instance per session.
constexpr std::string_view agentAutostartTemplate = R"([Desktop Entry]
Type=Application
Name=TovuControl
Exec=@helper@
NoDisplay=true
)";

// text with each @name@ replaced by its value.
std::string filled(std::string_view text,
                   std::initializer_list<std::pair<std::string_view, std::string_view>> values) {
    std::string out(text);
    for (const auto& [name, value] : values) {
        const std::string placeholder = "@" + std::string(name) + "@";
        out.replace(out.find(placeholder), placeholder.size(), value);
    }
    return out;
}

std::string unitIn(const std::string& dir, const std::string& service) {
    return (std::filesystem::path(dir) / service).string();
}

} // namespace

SystemdJobs::SystemdJobs(const Installer& installer, const std::string& systemDir,
                         const std::string& userDir, AccountList accounts,
                         const std::string& autostartDir)
    : installer_(installer)
    , daemonUnit_(unitIn(systemDir, daemonService))
    , agentUnit_(unitIn(userDir, agentService))
    , agentAutostart_(unitIn(autostartDir, std::string(Paths::helperLabel) + ".desktop"))
    , accounts_(std::move(accounts)) {}

void SystemdJobs::ghi(const std::string& daemon, const std::string& helperApp) {
    installer_.ghiJob(filled(daemonUnitTemplate,
                             {{"daemon", daemon}, {"log", daemonLog}, {"dir", installer_.dir()}}),
                      daemonUnit_);
    installer_.ghiJob(filled(agentUnitTemplate, {{"helper", helperExecutable(helperApp)}}),
                      agentUnit_);
    std::error_code ec; // a missing folder is reported by the write
    std::filesystem::create_directories(std::filesystem::path(agentAutostart_).parent_path(), ec);
    installer_.ghiJob(filled(agentAutostartTemplate, {{"helper", helperExecutable(helperApp)}}),
                      agentAutostart_);
}

void SystemdJobs::nap(const platform::Account& child) {
    systemctl({"daemon-reload"});
    // Ends the daemon of an earlier installation; failing is normal on a first install.
    systemctl({"stop", daemonService});
    const RunResult loaded = systemctl({"enable", "--now", daemonService});
    if (loaded.status != 0) throw SetupError("Không nạp được dịch vụ: " + loaded.output);
    // Nothing else ever starts the agent.
    if (const RunResult enabled = systemctl({"--global", "enable", agentService});
        enabled.status != 0)
        throw SetupError("Không bật được ứng dụng TovuControl cho con: " + enabled.output);
    // A child logged in now gets the agent without logging out first.
    const std::string session = "user@" + std::to_string(child.uid) + ".service";
    if (systemctl({"is-active", "--quiet", session}).status != 0) return;
    systemctlOf(child.name, {"daemon-reload"});
    if (const RunResult started = systemctlOf(child.name, {"restart", agentService});
        started.status != 0)
        throw SetupError("Không chạy được ứng dụng TovuControl trong phiên của con: " +
                         started.output);
}

void SystemdJobs::go() {
    systemctl({"disable", "--now", daemonService});
    for (const auto& account : accounts_())
        systemctlOf(account.name, {"stop", agentService});
    systemctl({"--global", "disable", agentService});
    std::error_code ec;
    std::filesystem::remove(daemonUnit_, ec);
    std::filesystem::remove(agentUnit_, ec);
    std::filesystem::remove(agentAutostart_, ec);
    systemctl({"daemon-reload"});
}

RunResult SystemdJobs::systemctl(std::vector<std::string> args) const {
    return installer_.runner().chay("/bin/systemctl", args);
}

RunResult SystemdJobs::systemctlOf(const std::string& user, std::vector<std::string> args) const {
    args.insert(args.begin(), {"--user", "--machine=" + user + "@.host"});
    return systemctl(std::move(args));
}

} // namespace tovu
