#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Operating-system services that differ between Linux and macOS. One implementation per
// system (LinuxPlatform.cpp, ...), chosen by CMake.
namespace tovu::platform {

// "Linux 6.1" (kernel major.minor) or "macOS 14.5".
std::string osVersion();

// Built-in support directory: /var/lib/tovucontrol on Linux.
std::string supportDirectory();

// User id of the process at the other end of a connected Unix-domain socket.
std::optional<std::uint32_t> peerUid(int fd);

// Whether the account may administer the computer (Linux: member of sudo, wheel or admin).
bool isAdmin(const std::string& user);

// The computer's name as its owner sees it (Linux: PRETTY_HOSTNAME of /etc/machine-info,
// else the host name); absent when the system gives none.
std::optional<std::string> deviceName();

// Owner given to installed files: "root:root" on Linux, "root:wheel" on macOS.
std::string rootOwnership();

} // namespace tovu::platform
