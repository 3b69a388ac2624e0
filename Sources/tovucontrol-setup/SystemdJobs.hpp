#pragma once

#include "Jobs.hpp"
#include "Runner.hpp"

namespace tovu {

class Installer;

// systemd units loaded with systemctl: the daemon as a system service, the agent as a global
// user service of graphical sessions and as an autostart entry for the desktops whose sessions
// never reach graphical-session.target. Used outside trial mode only.
class SystemdJobs final : public Jobs {
public:
    explicit SystemdJobs(const Installer& installer,
                         const std::string& systemDir = "/etc/systemd/system",
                         const std::string& userDir = "/etc/systemd/user",
                         AccountList accounts = platform::homeAccounts,
                         const std::string& autostartDir = "/etc/xdg/autostart");

    const std::string& daemonUnit() const { return daemonUnit_; }
    const std::string& agentUnit() const { return agentUnit_; }
    const std::string& agentAutostart() const { return agentAutostart_; }

    void ghi(const std::string& daemon, const std::string& helperApp) override;
    void nap(const platform::Account& child) override;
    void go() override;

private:
    RunResult systemctl(std::vector<std::string> args) const;
    // The same in the account's own service manager, when it runs one.
    RunResult systemctlOf(const std::string& user, std::vector<std::string> args) const;

    const Installer& installer_;
    std::string daemonUnit_;
    std::string agentUnit_;
    std::string agentAutostart_;
    AccountList accounts_;
};

} // namespace tovu
