#include "PtraceScope.hpp"

#include "SetupError.hpp"
#include "Text.hpp"
#include "TovuCore/Paths.hpp"
#include "WriteText.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace fs = std::filesystem;

namespace tovu {

namespace {

constexpr std::string_view dropInText =
    "# TovuControl: a program may trace only its own descendants, so that no program of the\n"
    "# child's attaches to the desktop's shell or to another of its programs.\n"
    "# \"tovucontrol-setup --go\" removes this file.\n"
    "kernel.yama.ptrace_scope = 1\n";

const std::string key = "kernel.yama.ptrace_scope";

// The running kernel's setting; absent without Yama.
std::optional<std::string> read(const fs::path& live) {
    const auto text = FileIO::readText(live.string());
    if (!text) return std::nullopt;
    return Text::trim(*text, Text::whitespace);
}

// Writes the running kernel's setting; the error text when that fails.
std::optional<std::string> set(const fs::path& live, std::string_view value) {
    std::ofstream out(live);
    out << value << '\n';
    out.close();
    if (out.fail()) return live.string() + ": " + std::strerror(errno);
    return std::nullopt;
}

} // namespace

PtraceScope::PtraceScope(fs::path root)
    : root_(std::move(root)) {}

fs::path PtraceScope::dropIn() const {
    return root_ / "etc/sysctl.d" / ptraceDropInName;
}

fs::path PtraceScope::live() const {
    return root_ / "proc/sys/kernel/yama/ptrace_scope";
}

void PtraceScope::ghi(const std::string& dir) {
    const std::string path = (fs::path(dir) / ptraceDropInName).string();
    if (auto error = writeText(dropInText, path))
        throw SetupError("Không ghi được " + path + ": " + *error);
}

std::string PtraceScope::nap() const {
    const auto now = read(live());
    if (!now)
        return "⚠ Nhân Linux của máy không có Yama: chương trình của con vẫn gỡ lỗi (ptrace) được "
               "chương trình khác của con.\n";
    std::error_code ec;
    // Ours from an earlier run stays; any other setting but 0 is the owner's.
    if (*now != "0") return {};
    fs::create_directories(dropIn().parent_path(), ec);
    const std::string notSet = "⚠ Không đặt được " + key + " = 1 (";
    if (auto error = writeText(dropInText, dropIn().string()))
        return notSet + dropIn().string() + ": " + *error + ").\n";
    if (auto error = set(live(), "1")) return notSet + *error + ").\n";
    return "✓ Đã đặt " + key +
           " = 1 (trước là 0): chương trình của con chỉ gỡ lỗi (ptrace) được chương trình do "
           "chính nó chạy, không đọc hay điều khiển được chương trình khác.\n";
}

std::string PtraceScope::go() const {
    std::error_code ec;
    if (!fs::remove(dropIn(), ec)) return {};
    // It was 0 before setup raised it: nothing else of the system set it.
    if (read(live()) == "1" && !set(live(), "0"))
        return "✓ Đã trả " + key + " về 0 như trước khi cài.\n";
    return {};
}

} // namespace tovu
