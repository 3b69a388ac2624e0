#include "LaunchdJobs.hpp"

#include "Install.hpp"
#include "Plist.hpp"
#include "SetupError.hpp"
#include "TovuCore/Paths.hpp"

#include <filesystem>

namespace tovu {

namespace {

std::string plistIn(const std::string& dir, std::string_view label) {
    return (std::filesystem::path(dir) / (std::string(label) + ".plist")).string();
}

} // namespace

LaunchdJobs::LaunchdJobs(const Installer& installer, const std::string& daemonsDir,
                         const std::string& agentsDir, AccountList accounts)
    : installer_(installer)
    , daemonPlist_(plistIn(installer.thu() ? installer.dir() : daemonsDir, Paths::daemonLabel))
    , agentPlist_(plistIn(installer.thu() ? installer.dir() : agentsDir, Paths::helperLabel))
    , accounts_(std::move(accounts)) {}

void LaunchdJobs::ghi(const std::string& daemon, const std::string& helperApp) {
    const Plist daemonJob{
        {"Label", std::string(Paths::daemonLabel)},
        {"ProgramArguments", std::vector{daemon}},
        {"RunAtLoad", true},
        {"KeepAlive", true},
        {"StandardErrorPath", std::string(daemonLog)},
    };
    const Plist agentJob{
        {"Label", std::string(Paths::helperLabel)},
        {"ProgramArguments", std::vector{helperExecutable(helperApp)}},
        {"RunAtLoad", true},
        {"KeepAlive", true},
        {"LimitLoadToSessionType", std::string("Aqua")},
        {"ProcessType", std::string("Interactive")},
    };
    installer_.ghiJob(plistXml(daemonJob), daemonPlist_);
    installer_.ghiJob(plistXml(agentJob), agentPlist_);
}

void LaunchdJobs::nap(const platform::Account& child) {
    // Unloads the daemon of an earlier installation; failing is normal on a first install.
    launchctl({"bootout", "system/" + std::string(Paths::daemonLabel)});
    const RunResult loaded = launchctl({"bootstrap", "system", daemonPlist_});
    if (loaded.status != 0) throw SetupError("Không nạp được dịch vụ: " + loaded.output);
    launchctl({"bootstrap", "gui/" + std::to_string(child.uid), agentPlist_});
}

void LaunchdJobs::go() {
    if (!installer_.thu()) {
        launchctl({"bootout", "system/" + std::string(Paths::daemonLabel)});
        for (const auto& account : accounts_())
            launchctl({"bootout", "gui/" + std::to_string(account.uid) + "/" +
                                      std::string(Paths::helperLabel)});
    }
    std::error_code ec;
    std::filesystem::remove(daemonPlist_, ec);
    std::filesystem::remove(agentPlist_, ec);
}

RunResult LaunchdJobs::launchctl(std::vector<std::string> args) const {
    return installer_.runner().chay("/bin/launchctl", args);
}

} // namespace tovu
