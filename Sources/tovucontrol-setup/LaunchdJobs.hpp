#pragma once

#include "Jobs.hpp"
#include "Runner.hpp"

namespace tovu {

class Installer;

// launchd property lists loaded with launchctl: the daemon in the system domain, the agent in
// the GUI domain of the child. In trial mode both lists go into the support directory and
// launchctl is never run.
class LaunchdJobs final : public Jobs {
public:
    explicit LaunchdJobs(const Installer& installer,
                         const std::string& daemonsDir = "/Library/LaunchDaemons",
                         const std::string& agentsDir = "/Library/LaunchAgents",
                         AccountList accounts = platform::homeAccounts);

    const std::string& daemonPlist() const { return daemonPlist_; }
    const std::string& agentPlist() const { return agentPlist_; }

    void ghi(const std::string& daemon, const std::string& helperApp) override;
    void nap(const platform::Account& child) override;
    void go() override;

private:
    RunResult launchctl(std::vector<std::string> args) const;

    const Installer& installer_;
    std::string daemonPlist_;
    std::string agentPlist_;
    AccountList accounts_;
};

} // namespace tovu
