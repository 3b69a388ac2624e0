// Linux services of the setup tool.
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sstream>
#include <string_view>

namespace tovu::platform {

std::string programPath(const char* argv0) {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) return exe.string();
    char resolved[PATH_MAX];
    if (argv0 && ::realpath(argv0, resolved)) return resolved;
    return {};
}

std::uint32_t firstHumanUid() {
    constexpr std::uint32_t fallback = 1000;
    const auto defs = FileIO::readText("/etc/login.defs");
    if (!defs) return fallback;
    std::istringstream lines(*defs);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key, value;
        if (!(words >> key >> value) || key != "UID_MIN") continue;
        // login.defs numbers may be written in octal or hexadecimal too.
        char* end = nullptr;
        errno = 0;
        const unsigned long uid = std::strtoul(value.c_str(), &end, 0);
        if (errno == 0 && *end == '\0' && value[0] != '-' && uid <= UINT32_MAX)
            return static_cast<std::uint32_t>(uid);
    }
    return fallback;
}

std::vector<Account> homeAccounts() {
    std::vector<Account> accounts;
    ::setpwent();
    while (const passwd* entry = ::getpwent())
        if (std::string_view(entry->pw_dir).starts_with("/home/"))
            accounts.push_back({entry->pw_name, entry->pw_uid});
    ::endpwent();
    return accounts;
}

} // namespace tovu::platform
