#include "SystemdUnits.hpp"

#include "SetupError.hpp"
#include "UnitTemplates.hpp"
#include "WriteText.hpp"

namespace fs = std::filesystem;

namespace tovu {

namespace {

const std::string daemon(daemonUnit);
const std::string agent(agentUnit);

// The template with every mention of the programs' folder naming programs.
std::string filled(std::string_view unit, const std::string& programs) {
    constexpr std::string_view placeholder = "@TOVU_PROGRAM_DIR@";
    std::string out(unit);
    for (auto at = out.find(placeholder); at != std::string::npos;
         at = out.find(placeholder, at + programs.size()))
        out.replace(at, placeholder.size(), programs);
    return out;
}

} // namespace

SystemdUnits::SystemdUnits(Runner& runner, AccountList accounts, std::string autostartDir,
                           std::string autostartEntry)
    : runner_(runner)
    , accounts_(std::move(accounts))
    , autostartDir_(std::move(autostartDir))
    , autostartEntry_(std::move(autostartEntry)) {}

std::string SystemdUnits::autostartLink() const {
    return (fs::path(autostartDir_) / agentAutostart).string();
}

void SystemdUnits::ghi(const std::string& dir, const fs::path& programs) {
    for (const auto& [name, unit] : {std::pair{daemonUnit, UnitTemplates::daemonUnit},
                                     {agentUnit, UnitTemplates::agentUnit},
                                     {agentAutostart, UnitTemplates::agentAutostart}}) {
        const std::string path = (fs::path(dir) / name).string();
        if (auto error = writeText(filled(unit, programs.string()), path))
            throw SetupError("Không ghi được " + path + ": " + *error);
    }
}

void SystemdUnits::nap(const platform::Account& child) const {
    // Units a source install has just put in place are read first.
    systemctl({"daemon-reload"});
    // Ends the daemon of an earlier pairing; failing is normal on a first install.
    systemctl({"stop", daemon});
    const RunResult loaded = systemctl({"enable", "--now", daemon});
    if (loaded.status != 0) throw SetupError("Không nạp được dịch vụ: " + loaded.output);

    // Nothing else ever starts the agent.
    const std::string notEnabled = "Không bật được ứng dụng TovuControl cho con: ";
    if (const RunResult enabled = systemctl({"--global", "enable", agent}); enabled.status != 0)
        throw SetupError(notEnabled + enabled.output);
    std::error_code ec;
    fs::create_directories(autostartDir_, ec);
    fs::remove(autostartLink(), ec);
    fs::create_symlink(autostartEntry_, autostartLink(), ec);
    if (ec) throw SetupError(notEnabled + ec.message());

    // A child logged in now gets the agent without logging out first.
    const std::string session = "user@" + std::to_string(child.uid) + ".service";
    if (systemctl({"is-active", "--quiet", session}).status != 0) return;
    systemctlOf(child.name, {"daemon-reload"});
    if (const RunResult started = systemctlOf(child.name, {"restart", agent}); started.status != 0)
        throw SetupError("Không chạy được ứng dụng TovuControl trong phiên của con: " +
                         started.output);
}

void SystemdUnits::go() const {
    systemctl({"disable", "--now", daemon});
    for (const auto& account : accounts_())
        systemctlOf(account.name, {"stop", agent});
    systemctl({"--global", "disable", agent});
    std::error_code ec;
    fs::remove(autostartLink(), ec);
}

RunResult SystemdUnits::systemctl(std::vector<std::string> args) const {
    return runner_.chay("/bin/systemctl", args);
}

RunResult SystemdUnits::systemctlOf(const std::string& user, std::vector<std::string> args) const {
    args.insert(args.begin(), {"--user", "--machine=" + user + "@.host"});
    return systemctl(std::move(args));
}

} // namespace tovu
