#include "Install.hpp"

#include "Jobs.hpp"
#include "SetupError.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tovu {

namespace {

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

} // namespace

std::string Installer::caiVao(const fs::path& source) const {
    const std::string name = source.filename().string();
    const fs::path target = fs::path(dir_) / name;
    // A setup program run from inside the support directory installs the items where they are.
    if (!samePath(target, source)) {
        std::error_code ec;
        fs::remove_all(target, ec);
        fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (ec) throw SetupError("Không chép được " + name + ": " + ec.message());
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

std::optional<std::string> khongXoaDuoc(const std::string& dir) {
    const std::string q = "\"";
    if (dir.empty()) return "Không gỡ được: đường dẫn thư mục hỗ trợ trống.";
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(dir, ec);
    if (ec) return "Không gỡ được: không đọc được " + q + dir + q + ": " + ec.message();
    if (real == real.root_path()) return "Không gỡ được: " + q + dir + q + " là thư mục gốc.";
    const auto status = fs::status(real, ec);
    if (fs::exists(status) && !fs::is_directory(status))
        return "Không gỡ được: " + q + dir + q + " không phải thư mục.";
    return std::nullopt;
}

void go(const Installer& installer, Jobs& jobs) {
    if (auto refusal = khongXoaDuoc(installer.dir())) throw SetupError(*refusal);
    jobs.go();
    std::error_code ec;
    fs::remove_all(installer.dir(), ec);
}

} // namespace tovu
