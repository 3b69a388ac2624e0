#include "TovuCore/AppIdentity.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace tovu {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view flatpakApps = "/var/lib/flatpak/app/";

std::string procFile(std::int32_t pid, const char* name) {
    return "/proc/" + std::to_string(pid) + "/" + name;
}

// A process that ends while its file is read leaves it unreadable: empty then.
std::string readAll(const std::string& path) {
    return FileIO::readText(path).value_or("");
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// The Flatpak id of a sandboxed process, proven by its executable being a file of that app's
// system install (the sandbox's own .flatpak-info only says where to look).
std::optional<std::string> flatpakId(std::int32_t pid, const std::string& executable) {
    if (!executable.starts_with("/app/")) return std::nullopt;
    std::ifstream in(procFile(pid, "root/.flatpak-info"));
    std::string id;
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("name=")) {
            id = line.substr(5);
            break;
        }
    if (id.empty() || id.find('/') != std::string::npos || id.starts_with('.')) return std::nullopt;
    const std::string installed = std::string(flatpakApps) + id + "/current/active/files/" +
                                  executable.substr(std::string_view("/app/").size());
    if (!sameFile(procFile(pid, "exe"), installed)) return std::nullopt;
    return id;
}

} // namespace

std::vector<std::string> AppCatalog::systemDataDirs() {
    return {"/usr/local/share", "/usr/share", "/var/lib/flatpak/exports/share",
            "/var/lib/snapd/desktop"};
}

AppIdentity AppCatalog::identify(std::int32_t pid) const {
    const auto executable = platform::executablePath(pid);
    if (!executable) {
        // Alive but hidden from us (made itself non-dumpable): unknown, never allowed by name.
        std::error_code ec;
        if (pid <= 0 || !fs::exists(procFile(pid, ""), ec)) return {};
        std::string comm = readAll(procFile(pid, "comm"));
        if (comm.ends_with('\n')) comm.pop_back();
        return {"?", comm, false, false};
    }
    // The path as the process's own mount namespace shows it: it counts only when it is the
    // same file here.
    if (!sameFile(procFile(pid, "exe"), *executable)) {
        if (auto id = flatpakId(pid, *executable)) return sandboxed(*id);
        return {"sandboxed:" + *executable, fs::path(*executable).filename().string(), false,
                false};
    }
    if (executable->starts_with("/snap/")) {
        const std::string rest = executable->substr(6);
        if (auto slash = rest.find('/'); slash != std::string::npos && slash > 0)
            return sandboxed(rest.substr(0, slash));
    }
    const std::string cmdline = readAll(procFile(pid, "cmdline"));
    std::vector<std::string> arguments;
    for (std::size_t start = 0; start < cmdline.size();) {
        auto end = cmdline.find('\0', start);
        if (end == std::string::npos) end = cmdline.size();
        arguments.push_back(cmdline.substr(start, end - start));
        start = end + 1;
    }
    if (!arguments.empty()) arguments.erase(arguments.begin());
    std::error_code ec;
    const auto cwd = fs::read_symlink(procFile(pid, "cwd"), ec);
    return identify(*executable, arguments, ec ? "/" : cwd.string());
}

} // namespace tovu
