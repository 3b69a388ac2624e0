#include "Install.hpp"

#include "DconfProfile.hpp"
#include "PtraceScope.hpp"
#include "SessionChooser.hpp"
#include "SetupError.hpp"
#include "SystemdUnits.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <vector>

namespace fs = std::filesystem;

namespace tovu {

namespace {

// Names that only TovuControl puts in its support directory.
const std::string_view ourItems[] = {"config.json",  "state.json",    sessionMemoryName,
                                     daemonUnit,     agentUnit,       agentAutostart,
                                     dconfEntryName, ptraceDropInName};

// Folders that hold people's files: every account's home, and $HOME.
std::vector<fs::path> homes() {
    std::vector<fs::path> found;
    if (const char* home = std::getenv("HOME")) found.emplace_back(home);
    ::setpwent();
    while (const passwd* entry = ::getpwent())
        found.emplace_back(entry->pw_dir);
    ::endpwent();
    return found;
}

// The absolute path with links, "." and ".." resolved and no trailing separator.
fs::path resolved(const fs::path& path, std::error_code& ec) {
    fs::path real = fs::absolute(path, ec);
    if (!ec) real = fs::weakly_canonical(real, ec);
    return real.has_filename() ? real : real.parent_path();
}

// Whether folder is home or a folder above it.
bool holds(const fs::path& folder, const fs::path& home) {
    std::error_code ec;
    const fs::path real = resolved(home, ec);
    if (ec || !home.is_absolute()) return false;
    return std::mismatch(folder.begin(), folder.end(), real.begin(), real.end()).first ==
           folder.end();
}

} // namespace

std::optional<std::string> khongDungDuoc(const std::string& dir) {
    const std::string q = "\"";
    if (dir.empty()) return "đường dẫn thư mục hỗ trợ trống.";
    std::error_code ec;
    const fs::path real = resolved(dir, ec);
    if (ec) return "không đọc được " + q + dir + q + ": " + ec.message();
    for (const fs::path& home : homes())
        if (holds(real, home))
            return q + dir + q + " là thư mục nhà của một tài khoản hoặc chứa thư mục nhà.";
    const auto status = fs::status(real, ec);
    if (!fs::exists(status)) return std::nullopt;
    if (!fs::is_directory(status)) return q + dir + q + " không phải thư mục.";
    const bool ours = std::any_of(std::begin(ourItems), std::end(ourItems), [&](auto name) {
        return fs::exists(fs::symlink_status(real / name, ec));
    });
    if (!ours && !fs::is_empty(real, ec))
        return q + dir + q + " không chứa tệp nào của TovuControl.";
    return std::nullopt;
}

void go(const std::string& dir, const SystemdUnits* units) {
    if (auto refusal = khongDungDuoc(dir)) throw SetupError("Không gỡ được: " + *refusal);
    if (units) units->go();
    std::error_code ec;
    fs::remove_all(dir, ec);
}

} // namespace tovu
