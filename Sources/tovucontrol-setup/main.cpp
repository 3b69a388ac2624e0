// tovucontrol-setup: pairs the computer with the parents' server and turns on the installed
// daemon and agent; "--go" turns them off and forgets the pairing. Run once by a parent with sudo.
#include "DconfProfile.hpp"
#include "Install.hpp"
#include "PtraceScope.hpp"
#include "SessionChooser.hpp"
#include "SetupError.hpp"
#include "SystemdUnits.hpp"
#include "Text.hpp"
#include "TovuCore/Api.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <algorithm>
#include <cstdlib>
#include <iostream>
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

platform::Account taiKhoan(const std::vector<std::string>& args) {
    const std::string user =
        traLoi(args, "--user", "Tên đăng nhập của con trên máy này (ví dụ bin):");
    const passwd* entry = ::getpwnam(user.c_str());
    if (!entry || entry->pw_uid < platform::firstHumanUid())
        throw SetupError("Không thấy tài khoản " + q + user + q + " trên máy này.");
    return {user, entry->pw_uid};
}

// server.txt in folder, trimmed; absent when missing, not UTF-8 or blank.
std::optional<std::string> serverMacDinh(const fs::path& folder) {
    const auto text = FileIO::readText((folder / "server.txt").string());
    if (!text || !Text::isUtf8(*text)) return std::nullopt;
    std::string server = Text::trim(*text, Text::whitespace);
    if (server.empty()) return std::nullopt;
    return server;
}

std::string mayChu(const std::vector<std::string>& args, const fs::path& settings) {
    std::string server;
    if (auto given = thamSo(args, "--server"))
        server = *given;
    else if (auto macDinh = serverMacDinh(settings))
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
    const std::string dir = Paths::dir();
    ProcessRunner runner;
    const SystemdUnits units(runner);

    if (!thu && ::geteuid() != 0)
        throw SetupError("Cần chạy bằng sudo trên tài khoản bố mẹ (admin).");

    if (coCo(args, "--go")) {
        // The children get their earlier sessions back before the folder that keeps them goes;
        // a folder that removal refuses is not read.
        const std::string sessions = thu || khongDungDuoc(dir) ? "" : SessionChooser(dir).traLai();
        go(dir, thu ? nullptr : &units);
        std::string settings;
        if (!thu) {
            DconfProfile(runner).go();
            settings = PtraceScope().go();
        }
        std::cout << sessions << settings
                  << "✓ Đã gỡ TovuControl. Nhớ gỡ máy này trên trang bố mẹ (Máy của con → Gỡ "
                     "máy).\n";
        if (!thu) std::cout << "  Muốn gỡ cả chương trình khỏi máy: sudo apt remove tovucontrol\n";
        std::cout << std::flush;
        return 0;
    }

    // The support directory is given mode 0755 below: never a folder of people's files.
    if (auto refusal = khongDungDuoc(dir)) throw SetupError("Không cài được: " + *refusal);

    const platform::Account child = taiKhoan(args);
    const std::string& user = child.name;
    if (laAdmin(user) && !coCo(args, "--cho-admin"))
        throw SetupError("Tài khoản " + user +
                         " đang là Administrator — con tự gỡ được TovuControl. Bỏ " + user +
                         " khỏi các nhóm quản trị (sudo, wheel, admin, docker, lxd, incus-admin, "
                         "libvirt, disk) và khỏi các quy tắc của /etc/sudoers, ví dụ: sudo "
                         "deluser " +
                         user + " sudo, rồi chạy lại.");

    // A trial keeps its settings beside the tool.
    const fs::path tuDay =
        fs::path(platform::programPath(args.empty() ? nullptr : args[0].c_str())).parent_path();
    const std::string server = mayChu(args, thu ? tuDay : fs::path(TOVU_SETTINGS_DIR));
    const std::string code = maGhep(args);
    const std::string ten = platform::deviceName().value_or("Máy tính");
    const std::string os = Version::os();

    const PairResult ketQua = ghep(server, code, ten, os);

    std::error_code ec;
    fs::create_directories(dir, ec);
    fs::permissions(dir, fs::perms(0755), ec);

    ghiCauHinh({
        .server = ketQua.server ? ApiClient::normalize(*ketQua.server) : server,
        .token = ketQua.token,
        .deviceId = ketQua.deviceId,
        .childName = ketQua.childName,
        .childUser = user,
    });

    if (thu) {
        // The programs of a build lie beside its tool; an installed tool's in their own folder.
        std::error_code missing;
        const bool built = fs::exists(tuDay / "tovucontrold", missing);
        SystemdUnits::ghi(dir, built ? tuDay : fs::path(TOVU_PROGRAM_DIR));
        DconfProfile::ghi(dir, child.uid);
        PtraceScope::ghi(dir);
    } else {
        units.nap(child);
        // Trial runs leave the display manager and the system's settings alone.
        std::cout << SessionChooser(dir).chon(user) << DconfProfile(runner).nap(child)
                  << PtraceScope().nap();
    }

    const std::string role =
        laAdmin(user) ? "Administrator — con tự gỡ được, nên đổi sang Standard" : "Standard";
    std::cout << "✓ Đã ghép máy " + q + ten + q + " cho " + ketQua.childName + ".\n" +
                     "  Tài khoản quản lý: " + user + " (" + role + ")\n" +
                     "  Mở trang bố mẹ để xem máy đã " + q + "Đang được bảo vệ" + q +
                     ". Con sẽ thấy biểu tượng TovuControl trong khay hệ thống.\n"
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
