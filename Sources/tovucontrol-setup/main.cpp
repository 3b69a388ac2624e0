// tovucontrol-setup: pairs the computer with the parents' server and installs the daemon and the
// agent; "--go" removes them. Run once by a parent with sudo.
#include "Install.hpp"
#include "LaunchdJobs.hpp"
#include "SessionChooser.hpp"
#include "SetupError.hpp"
#include "SystemdJobs.hpp"
#include "Text.hpp"
#include "TovuCore/Api.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <pwd.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tovu {

namespace {

const std::string q = "\"";

[[noreturn]] void thoat(const std::string& message) {
    std::cout.flush();
    std::cerr << "✗ " << message << std::endl;
    std::exit(1);
}

// The argument after the first one equal to name; absent when there is none.
std::optional<std::string> thamSo(const std::vector<std::string>& args, std::string_view name) {
    const auto it = std::find(args.begin(), args.end(), name);
    if (it == args.end() || std::next(it) == args.end()) return std::nullopt;
    return *std::next(it);
}

bool coCo(const std::vector<std::string>& args, std::string_view flag) {
    return std::find(args.begin(), args.end(), flag) != args.end();
}

// Asks on the terminal; the answer trimmed, empty at end of input.
std::string hoi(const std::string& prompt) {
    std::cout << prompt << ' ' << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return {};
    if (line.ends_with('\r')) line.pop_back();
    return Text::trim(line, Text::spacesAndTabs);
}

// The value of option on the command line, else the answer to prompt.
std::string traLoi(const std::vector<std::string>& args, std::string_view option,
                   const std::string& prompt) {
    if (auto given = thamSo(args, option)) return *given;
    return hoi(prompt);
}

bool laAdmin(const std::string& user) {
    return platform::isAdmin(user);
}

PairResult ghep(const std::string& server, const std::string& code, const std::string& ten,
                const std::string& os) {
    const std::string failed = "Ghép chưa được: ";
    try {
        return ApiClient(server, std::nullopt).pair(code, ten, os);
    } catch (const ApiError& e) {
        throw SetupError(failed + e.description());
    } catch (const std::exception& e) {
        // Transport and decoding errors: the text of the library that raised them.
        throw SetupError(failed + e.what());
    }
}

std::unique_ptr<Jobs> lamJobs(const Installer& installer) {
    if (installer.thu() || platform::serviceManager() == platform::ServiceManager::launchd)
        return std::make_unique<LaunchdJobs>(installer);
    return std::make_unique<SystemdJobs>(installer);
}

platform::Account taiKhoan(const std::vector<std::string>& args) {
    const std::string user =
        traLoi(args, "--user", "Tên tài khoản macOS của con (short name, ví dụ bin):");
    const passwd* entry = ::getpwnam(user.c_str());
    if (!entry || entry->pw_uid < platform::firstHumanUid())
        throw SetupError("Không thấy tài khoản " + q + user + q + " trên máy này.");
    return {user, entry->pw_uid};
}

// server.txt beside the program, trimmed; absent when missing, not UTF-8 or blank.
std::optional<std::string> serverMacDinh(const fs::path& tuDay) {
    const auto text = FileIO::readText((tuDay / "server.txt").string());
    if (!text || !Text::isUtf8(*text)) return std::nullopt;
    std::string server = Text::trim(*text, Text::whitespace);
    if (server.empty()) return std::nullopt;
    return server;
}

std::string mayChu(const std::vector<std::string>& args, const fs::path& tuDay) {
    std::string server;
    if (auto given = thamSo(args, "--server"))
        server = *given;
    else if (auto macDinh = serverMacDinh(tuDay))
        server = *macDinh;
    else
        server = hoi("Địa chỉ máy chủ (trên màn ghép máy):");
    return ApiClient::normalize(server);
}

std::string maGhep(const std::vector<std::string>& args) {
    const std::string code = Text::digits(traLoi(args, "--code", "Mã ghép 6 số:"));
    if (code.size() != 6) throw SetupError("Mã ghép gồm 6 chữ số.");
    return code;
}

void ghiCauHinh(const AgentConfig& config) {
    try {
        FileIO::write(config, Paths::config());
    } catch (const std::system_error& e) {
        throw SetupError(std::string("Không ghi được cấu hình: ") + e.what());
    }
}

// An option directly followed by another one has lost its value: "--user --go" removes nothing.
void kiemTraThamSo(const std::vector<std::string>& args) {
    for (const std::string_view option : {"--user", "--server", "--code"})
        if (auto value = thamSo(args, option); value && value->starts_with("--"))
            throw SetupError("Tùy chọn " + std::string(option) +
                             " cần một giá trị, nhưng sau nó là " + *value + ".");
}

int chayCaiDat(const std::vector<std::string>& args) {
    kiemTraThamSo(args);
    const bool thu = std::getenv("TOVUC_DIR") != nullptr;
    ProcessRunner runner;
    const Installer installer(runner, thu, Paths::dir());
    const auto jobs = lamJobs(installer);

    if (!thu && ::geteuid() != 0)
        throw SetupError("Cần chạy bằng sudo trên tài khoản bố mẹ (admin).");

    if (coCo(args, "--go")) {
        // The children get their earlier sessions back before the folder that keeps them goes;
        // a folder that removal refuses is not read.
        const std::string sessions =
            thu || khongDungDuoc(installer.dir()) ? "" : SessionChooser(installer.dir()).traLai();
        go(installer, *jobs);
        std::cout << sessions
                  << "✓ Đã gỡ TovuControl. Nhớ gỡ máy này trong app phụ huynh (Máy → Gỡ máy)."
                  << std::endl;
        return 0;
    }

    // The support directory is given mode 0755 below: never a folder of people's files.
    if (auto refusal = khongDungDuoc(installer.dir()))
        throw SetupError("Không cài được: " + *refusal);

    const platform::Account child = taiKhoan(args);
    const std::string& user = child.name;
    if (laAdmin(user) && !coCo(args, "--cho-admin"))
        throw SetupError("Tài khoản " + user +
                         " đang là Administrator — con tự gỡ được TovuControl. Vào Cài đặt hệ "
                         "thống → Người dùng & Nhóm, đổi thành Standard rồi chạy lại.");

    const fs::path tuDay =
        fs::path(platform::programPath(args.empty() ? nullptr : args[0].c_str())).parent_path();
    const fs::path nguonDaemon = nguon(tuDay, "tovucontrold");
    const fs::path nguonApp = nguon(tuDay, "TovuControl.app");

    const std::string server = mayChu(args, tuDay);
    const std::string code = maGhep(args);
    const std::string ten = platform::deviceName().value_or("Mac");
    const std::string os = Version::os();

    const PairResult ketQua = ghep(server, code, ten, os);

    std::error_code ec;
    fs::create_directories(installer.dir(), ec);
    fs::permissions(installer.dir(), fs::perms(0755), ec);

    ghiCauHinh({
        .server = ketQua.server ? ApiClient::normalize(*ketQua.server) : server,
        .token = ketQua.token,
        .deviceId = ketQua.deviceId,
        .childName = ketQua.childName,
        .childUser = user,
    });

    caiDat(installer, *jobs, nguonDaemon, nguonApp, child);
    // The agent covers X11 sessions only; trial runs leave the display manager alone.
    if (!thu) std::cout << SessionChooser(installer.dir()).chon(user);

    const std::string role =
        laAdmin(user) ? "Administrator — con tự gỡ được, nên đổi sang Standard" : "Standard";
    std::cout << "✓ Đã ghép máy " + q + ten + q + " cho " + ketQua.childName + ".\n" +
                     "  Tài khoản quản lý: " + user + " (" + role + ")\n" +
                     "  Mở app phụ huynh để xem máy đã " + q + "Đang bảo vệ" + q +
                     ". Con sẽ thấy biểu tượng TovuControl trên thanh menu.\n"
              << std::flush;
    return 0;
}

} // namespace
} // namespace tovu

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + argc);
    try {
        return tovu::chayCaiDat(args);
    } catch (const tovu::SetupError& e) {
        tovu::thoat(e.what());
    }
}
