#include "DconfProfile.hpp"

#include "SetupError.hpp"
#include "Text.hpp"
#include "WriteText.hpp"

#include <fstream>

namespace fs = std::filesystem;

namespace tovu {

namespace {

constexpr std::string_view profiles = "/run/dconf/user/";

std::string entryFor(std::uint32_t uid) {
    return "# TovuControl: the child's dconf profile, which keeps the TovuControl GNOME Shell\n"
           "# extension on for this account alone. \"tovucontrol-setup --go\" removes it.\n"
           "d /run/dconf 0755 root root -\n"
           "d /run/dconf/user 0755 root root -\n"
           "f+ " +
           std::string(profiles) + std::to_string(uid) +
           " 0644 root root - user-db:user\\nsystem-db:tovucontrol\\n\n";
}

} // namespace

DconfProfile::DconfProfile(Runner& runner, fs::path root)
    : runner_(runner)
    , root_(std::move(root)) {}

fs::path DconfProfile::entry() const {
    return root_ / "etc/tmpfiles.d" / dconfEntryName;
}

void DconfProfile::ghi(const std::string& dir, std::uint32_t uid) {
    const std::string path = (fs::path(dir) / dconfEntryName).string();
    if (auto error = writeText(entryFor(uid), path))
        throw SetupError("Không ghi được " + path + ": " + *error);
}

std::string DconfProfile::nap(const platform::Account& child) const {
    go();
    const std::string notKept = "⚠ Không giữ được phần mở rộng TovuControl luôn bật trong GNOME "
                                "cho " +
                                child.name + " (";
    const std::string consequence = "): con tắt được nó, và phút dùng khi đó ghi là \"Không rõ "
                                    "ứng dụng\".\n";
    const RunResult compiled =
        runner_.chay("/usr/bin/dconf", {"update", (root_ / "etc/dconf/db").string()});
    if (compiled.status != 0)
        return notKept + "dconf: " + Text::trim(compiled.output, Text::whitespace) + consequence;
    std::error_code ec;
    fs::create_directories(entry().parent_path(), ec);
    if (auto error = writeText(entryFor(child.uid), entry().string()))
        return notKept + entry().string() + ": " + *error + consequence;
    const RunResult made = runner_.chay("/bin/systemd-tmpfiles",
                                        {"--root=" + root_.string(), "--create", entry().string()});
    if (made.status != 0)
        return notKept + "systemd-tmpfiles: " + Text::trim(made.output, Text::whitespace) +
               consequence;
    return "✓ Phần mở rộng TovuControl luôn bật trong GNOME của " + child.name +
           "; các tài khoản khác vẫn tự chọn phần mở rộng của mình.\n";
}

void DconfProfile::go() const {
    std::ifstream in(entry());
    std::error_code ec;
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find(profiles);
        if (!line.starts_with("f") || at == std::string::npos) continue;
        const auto name = at + profiles.size();
        const std::string uid = line.substr(name, line.find(' ', name) - name);
        if (!uid.empty() && Text::digits(uid) == uid)
            fs::remove(root_ / profiles.substr(1) / uid, ec);
    }
    // The folders go with the last profile in them; others' stay.
    fs::remove(root_ / "run/dconf/user", ec);
    fs::remove(root_ / "run/dconf", ec);
    fs::remove(entry(), ec);
    fs::remove(root_ / "etc/dconf/db/tovucontrol", ec);
}

} // namespace tovu
