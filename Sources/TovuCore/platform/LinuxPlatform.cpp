#include "TovuCore/platform/LinuxPlatform.hpp"

#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <array>
#include <charconv>
#include <climits>
#include <filesystem>
#include <grp.h>
#include <malloc.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace tovu::platform {

std::string linuxOsVersion(std::string_view release) {
    unsigned major = 0, minor = 0;
    const char* end = release.data() + release.size();
    auto [afterMajor, e1] = std::from_chars(release.data(), end, major);
    if (e1 != std::errc() || afterMajor == end || *afterMajor != '.') return "Linux";
    auto [afterMinor, e2] = std::from_chars(afterMajor + 1, end, minor);
    if (e2 != std::errc()) return "Linux";
    return "Linux " + std::to_string(major) + "." + std::to_string(minor);
}

namespace {

// Undoes the shell-style quoting of an environment-like file: '...' literally, "..." and bare
// words with backslash escapes.
std::string unquote(std::string_view value) {
    std::string out;
    char quote = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                out += c;
        } else if (c == '\\' && i + 1 < value.size()) {
            out += value[++i];
        } else if (quote == '"' && c == '"') {
            quote = 0;
        } else if (!quote && (c == '"' || c == '\'')) {
            quote = c;
        } else {
            out += c;
        }
    }
    return out;
}

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

std::optional<std::string> prettyHostname(std::string_view machineInfo) {
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    std::optional<std::string> found;
    while (!machineInfo.empty()) {
        const auto eol = machineInfo.find('\n');
        const auto line = trim(machineInfo.substr(0, eol));
        machineInfo =
            eol == std::string_view::npos ? std::string_view() : machineInfo.substr(eol + 1);
        // The last assignment wins, as when the file is sourced.
        if (line.starts_with(key)) found = unquote(line.substr(key.size()));
    }
    if (found && found->empty()) return std::nullopt;
    return found;
}

std::string name() {
    return "linux";
}

std::string osVersion() {
    utsname names{};
    if (uname(&names) != 0) return "Linux";
    return linuxOsVersion(names.release);
}

std::string supportDirectory() {
    return "/var/lib/tovucontrol";
}

std::optional<PeerCredentials> peerCredentials(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials)
        return std::nullopt;
    return PeerCredentials{credentials.uid, credentials.pid};
}

std::optional<std::uint32_t> peerUid(int fd) {
    const auto credentials = peerCredentials(fd);
    if (!credentials) return std::nullopt;
    return credentials->uid;
}

std::optional<std::string> executablePath(std::int32_t pid) {
    if (pid <= 0) return std::nullopt;
    // One readlink: the daemon asks on every request. Room for " (deleted)" after a full path.
    std::array<char, PATH_MAX + 16> path;
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) == path.size()) return std::nullopt;
    return std::string(path.data(), static_cast<std::size_t>(n));
}

void keepMemoryLean() {
    // Fixed thresholds: glibc otherwise raises them after a large free, and the blocks of the
    // next large requests then stay in the process for good.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    ::mallopt(M_TRIM_THRESHOLD, 128 * 1024);
}

void releaseFreeMemory() {
    ::malloc_trim(0);
}

std::optional<std::string> deviceName() {
    if (auto info = FileIO::readText("/etc/machine-info"))
        if (auto pretty = prettyHostname(*info)) return pretty;
    std::array<char, HOST_NAME_MAX + 1> name{};
    if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') return std::nullopt;
    return std::string(name.data());
}

} // namespace tovu::platform
