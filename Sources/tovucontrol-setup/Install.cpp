#include "Install.hpp"

#include "Jobs.hpp"
#include "SessionChooser.hpp"
#include "SetupError.hpp"
#include "TovuCore/Paths.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tovu {

namespace {

// Names that only TovuControl puts in its support directory.
const std::string ourItems[] = {"config.json",
                                "state.json",
                                std::string(sessionMemoryName),
                                "tovucontrold",
                                "TovuControl.app",
                                std::string(Paths::daemonLabel) + ".plist",
                                std::string(Paths::helperLabel) + ".plist"};

bool samePath(const fs::path& a, const fs::path& b) {
    std::error_code ea, eb;
    const auto ca = fs::weakly_canonical(a, ea);
    const auto cb = fs::weakly_canonical(b, eb);
    return !ea && !eb && ca == cb;
}

// Creates or truncates path and writes text; the error text when that fails.
std::optional<std::string> writeText(const std::string& text, const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return std::strerror(errno);
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return std::strerror(error);
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::close(fd) != 0) return std::strerror(errno);
    return std::nullopt;
}

// Puts fresh at target. A file is renamed over the old one in one step; a directory cannot be,
// so the old one moves aside first and comes back when the new one cannot take its place.
std::optional<std::string> thayBang(const fs::path& fresh, const fs::path& target) {
    const fs::path old = target.string() + ".old";
    std::error_code ec;
    const bool aside = fs::is_directory(fs::symlink_status(target, ec));
    if (aside) {
        fs::remove_all(old, ec);
        fs::rename(target, old, ec);
        if (ec) return ec.message();
    }
    fs::rename(fresh, target, ec);
    if (ec) {
        std::error_code ignored;
        if (aside) fs::rename(old, target, ignored);
        return ec.message();
    }
    fs::remove_all(old, ec);
    return std::nullopt;
}

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

std::string Installer::caiVao(const fs::path& source) const {
    const std::string name = source.filename().string();
    const fs::path target = fs::path(dir_) / name;
    // A setup program run from inside the support directory installs the items where they are.
    if (!samePath(target, source)) {
        // Copied beside the installed item first: a failure leaves the old one in service.
        const fs::path fresh = target.string() + ".tmp";
        std::error_code ec, ignored;
        fs::remove_all(fresh, ignored);
        fs::copy(source, fresh, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        std::optional<std::string> failed;
        if (ec)
            failed = "Không chép được " + name + ": " + ec.message();
        else if (auto error = thayBang(fresh, target))
            failed = "Không thay được " + name + " đã cài: " + *error;
        if (failed) {
            fs::remove_all(fresh, ignored);
            throw SetupError(*failed);
        }
    }
    chown({"-R", platform::rootOwnership(), target.string()});
    return target.string();
}

void Installer::ghiJob(const std::string& text, const std::string& path) const {
    if (auto error = writeText(text, path))
        throw SetupError("Không ghi được " + path + ": " + *error);
    ::chmod(path.c_str(), 0644);
    chown({platform::rootOwnership(), path});
}

void Installer::chown(std::vector<std::string> args) const {
    if (!thu_) runner_.chay(platform::chownPath(), args);
}

fs::path nguon(const fs::path& tuDay, const std::string& name) {
    for (const fs::path& candidate :
         {tuDay / name, (tuDay / ".." / "Resources" / name).lexically_normal()}) {
        std::error_code ec;
        if (fs::exists(candidate, ec)) return candidate;
    }
    throw SetupError("Thiếu " + name + " cạnh trình cài — chạy từ thư mục gói đã cài.");
}

void caiDat(const Installer& installer, Jobs& jobs, const fs::path& nguonDaemon,
            const fs::path& nguonApp, const platform::Account& child) {
    const std::string daemon = installer.caiVao(nguonDaemon);
    const std::string helperApp = installer.caiVao(nguonApp);
    jobs.ghi(daemon, helperApp);
    if (!installer.thu()) jobs.nap(child);
}

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

void go(const Installer& installer, Jobs& jobs) {
    if (auto refusal = khongDungDuoc(installer.dir()))
        throw SetupError("Không gỡ được: " + *refusal);
    jobs.go();
    std::error_code ec;
    fs::remove_all(installer.dir(), ec);
}

} // namespace tovu
