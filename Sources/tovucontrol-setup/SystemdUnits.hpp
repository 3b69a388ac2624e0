#pragma once

#include "Runner.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tovu {

inline constexpr std::string_view daemonUnit = "tovucontrold.service";
inline constexpr std::string_view agentUnit = "tovucontrol-helper.service";
inline constexpr std::string_view agentAutostart = "tovucontrol-helper.desktop";

using AccountList = std::function<std::vector<platform::Account>()>;

// The daemon as a system service, and the agent in every graphical session: as a global user
// service, and as an autostart entry for the desktops whose sessions never reach
// graphical-session.target. The install puts the units in place; setup enables them.
class SystemdUnits {
public:
    // autostartDir receives a link to the installed autostartEntry.
    explicit SystemdUnits(Runner& runner, AccountList accounts = platform::homeAccounts,
                          std::string autostartDir = "/etc/xdg/autostart",
                          std::string autostartEntry = TOVU_AUTOSTART_ENTRY);

    std::string autostartLink() const;

    // Trial mode: writes the three units into dir, naming the programs in the folder programs.
    // Throws SetupError when one cannot be written.
    static void ghi(const std::string& dir, const std::filesystem::path& programs);

    // Restarts the daemon with the new configuration and enables it, enables the agent and
    // starts it in the child's running session. Throws SetupError when the daemon cannot be
    // started ("Không nạp được dịch vụ: ...") or the agent cannot be enabled or started.
    void nap(const platform::Account& child) const;

    // Stops and disables the daemon and the agent, for every account; failures are ignored.
    void go() const;

private:
    RunResult systemctl(std::vector<std::string> args) const;
    // The same in the account's own service manager, when it runs one.
    RunResult systemctlOf(const std::string& user, std::vector<std::string> args) const;

    Runner& runner_;
    AccountList accounts_;
    std::string autostartDir_;
    std::string autostartEntry_;
};

} // namespace tovu
