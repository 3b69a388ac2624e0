#include "support/TrialSystem.hpp"

#include "TovuCore/Paths.hpp"
#include "TovuProtocol/Iso.hpp"
#include "TovuProtocol/Json.hpp"

#include <memory>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace tovu::test {

std::string isoTime(Time t) {
    return Iso::format(t);
}

TrialSystem::TrialSystem(const Programs& programs, FakeServer& server, const Policy& policy,
                         const std::string& display,
                         const std::map<std::string, std::string>& daemonEnv,
                         const std::map<std::string, std::string>& agentEnvironment,
                         const std::string& child)
    : socket_(dir_.file("d.sock")) {
    server.reply("POST", "/api/device/sync", 200, Json::encode(policy));
    FileIO::write(AgentConfig{server.url(), "tok", "dev-1", policy.childName, child},
                  dir_.file("config.json"));
    FileIO::writeJson({{"policy", policy},
                       {"fetchedAt", Json::encodeDate(std::chrono::system_clock::now())},
                       {"usedAtFetch", 0},
                       {"usage", nlohmann::json::array()}},
                      dir_.file("state.json"));
    auto env = daemonEnv;
    env.insert({{"TOVUC_DEV", "1"}, {"TOVUC_DIR", dir_.path().string()}, {"TOVUC_SOCK", socket_}});
    daemon_.emplace(programs.daemon, env);
    if (!waitUntil([&] { return Ipc::call(op("policy"), socket_).ok; }))
        throw std::runtime_error("the daemon does not answer: " + daemon_->log());
    // The agent draws on the display itself, whatever platform the tests chose for Qt.
    ScopedEnv sock("TOVUC_SOCK", socket_);
    ScopedEnv platform("QT_QPA_PLATFORM", std::nullopt);
    std::vector<std::unique_ptr<ScopedEnv>> extra;
    for (const auto& [name, value] : agentEnvironment)
        extra.push_back(std::make_unique<ScopedEnv>(name, value));
    // What the agent says goes with the test's own output, shown when a test fails.
    agent_.emplace(std::vector<std::string>{programs.agent}, display, std::nullopt, -1,
                   STDERR_FILENO);
}

} // namespace tovu::test
