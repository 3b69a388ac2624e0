#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tovu {

// Starts and stops the lock screen's session: its own program, run as its own system user on
// a virtual console of its own, and started again at once whenever it ends while wanted.
class LockLauncher {
public:
    using Log = std::function<void(std::string_view message)>;

    virtual ~LockLauncher() = default;
    // Starts it unless it runs or is starting; never waits for it to show.
    virtual void start() = 0;
    virtual void stop() = 0;
    // Why the last start failed; empty when it did not.
    virtual std::string loi() const = 0;

    // The systemd unit tovucontrol-lock@<console>.service on the first free virtual console.
    static std::unique_ptr<LockLauncher> systemd(Log log);
    // A trial's own command, run by /bin/sh in a process group of its own.
    static std::unique_ptr<LockLauncher> command(std::string command, Log log);
};

} // namespace tovu
