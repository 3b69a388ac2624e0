#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Text parsing behind the Linux platform services, kept apart so it can be tested alone.
namespace tovu::platform {

// "Linux 6.1" from a kernel release such as "6.1.0-18-amd64"; "Linux" when the release does
// not start with major.minor.
std::string linuxOsVersion(std::string_view release);

// The PRETTY_HOSTNAME of a /etc/machine-info text (shell-style quoting undone); absent when
// missing or empty.
std::optional<std::string> prettyHostname(std::string_view machineInfo);

// An account as the sudo policy sees it: name, user id, and its groups' names and ids.
struct SudoersAccount {
    std::string user;
    std::uint32_t uid = 0;
    std::vector<std::pair<std::string, std::uint32_t>> groups;
};

// Whether the sudo policy under root (root + /etc/sudoers and the files it includes) has a rule
// for the account, whatever the rule allows.
bool sudoersRuleFor(const std::filesystem::path& root, const SudoersAccount& who);

} // namespace tovu::platform
