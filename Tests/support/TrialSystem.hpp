#pragma once

#include "TovuCore/Ipc.hpp"
#include "TovuProtocol/Models.hpp"
#include "support/DaemonFixtures.hpp"
#include "support/DaemonProcess.hpp"
#include "support/FakeServer.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <map>
#include <optional>
#include <string>

namespace tovu::test {

// The server's form of a time: "2026-03-10T05:00:00Z".
std::string isoTime(Time t);

// The built daemon in trial mode, paired with a fake parents' server, and the built agent on
// an X display talking to it: the whole system as a family computer runs it. The policy is
// stored as just fetched before the daemon starts, so the agent has it from its first question.
class TrialSystem {
public:
    struct Programs {
        std::string daemon;
        std::string agent;
    };

    // Serves policy from the server's sync, then starts the daemon (with daemonEnv added to its
    // TOVUC_* variables) for the account child and the agent, with the variables of
    // agentEnvironment set as well.
    TrialSystem(const Programs& programs, FakeServer& server, const Policy& policy,
                const std::string& display,
                const std::map<std::string, std::string>& daemonEnv = {},
                const std::map<std::string, std::string>& agentEnvironment = {},
                const std::string& child = "root");
    TrialSystem(const TrialSystem&) = delete;
    TrialSystem& operator=(const TrialSystem&) = delete;

    DaemonProcess& daemon() { return *daemon_; }
    const std::string& socket() const { return socket_; }
    Child& agent() { return *agent_; }
    void stopAgent() { agent_.reset(); }

private:
    TempDir dir_;
    std::string socket_;
    std::optional<DaemonProcess> daemon_;
    std::optional<Child> agent_;
};

} // namespace tovu::test
