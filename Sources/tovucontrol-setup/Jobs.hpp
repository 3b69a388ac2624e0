#pragma once

#include "TovuCore/platform/Platform.hpp"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tovu {

inline constexpr std::string_view daemonLog = "/var/log/tovucontrold.log";

// The agent's program inside its app bundle.
inline std::string helperExecutable(const std::string& helperApp) {
    return helperApp + "/Contents/MacOS/TovuControlHelper";
}

using AccountList = std::function<std::vector<platform::Account>()>;

// The two jobs of the service manager: the root daemon, and the agent in every graphical session
// of the child.
class Jobs {
public:
    virtual ~Jobs() = default;
    // Writes both job descriptions for the installed daemon and app bundle.
    virtual void ghi(const std::string& daemon, const std::string& helperApp) = 0;
    // Replaces a running daemon by the new one and starts the agent for the child. Throws
    // SetupError when the daemon cannot be loaded ("Không nạp được dịch vụ: ...") and, where
    // the service manager would not retry it by itself, when the agent cannot be started.
    virtual void nap(const platform::Account& child) = 0;
    // Stops both jobs for everyone and deletes their descriptions; every failure is ignored.
    virtual void go() = 0;
};

} // namespace tovu
