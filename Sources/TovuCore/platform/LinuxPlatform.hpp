#pragma once

#include <optional>
#include <string>
#include <string_view>

// Text parsing behind the Linux platform services, kept apart so it can be tested alone.
namespace tovu::platform {

// "Linux 6.1" from a kernel release such as "6.1.0-18-amd64"; "Linux" when the release does
// not start with major.minor.
std::string linuxOsVersion(std::string_view release);

// The PRETTY_HOSTNAME of a /etc/machine-info text (shell-style quoting undone); absent when
// missing or empty.
std::optional<std::string> prettyHostname(std::string_view machineInfo);

} // namespace tovu::platform
