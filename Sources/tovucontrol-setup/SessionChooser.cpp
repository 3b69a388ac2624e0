#include "SessionChooser.hpp"

#include "SetupError.hpp"
#include "TovuCore/AppIdentity.hpp"
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace tovu {

namespace platform {
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(SessionChoice, session, xSession, sessionType)
} // namespace platform

namespace {

using Memory = std::map<std::string, platform::SessionChoice>;

struct Offered {
    std::string name; // the file's name without ".desktop"
    bool x11 = false;
    std::string label;
    std::string desktop; // its DesktopNames, else its name
};

// "ubuntu:GNOME;" and "ubuntu;GNOME" alike: display managers write either separator.
std::string desktopNames(std::string names) {
    std::replace(names.begin(), names.end(), ':', ';');
    std::istringstream in(names);
    std::string out;
    for (std::string name; std::getline(in, name, ';');)
        if (!name.empty()) out += name + ";";
    return out;
}

// The sessions the display manager offers, by name: not hidden, their TryExec installed.
std::vector<Offered> offered(const fs::path& sessions) {
    std::vector<Offered> found;
    for (const auto& [folder, x11] : {std::pair{"xsessions", true}, {"wayland-sessions", false}}) {
        std::error_code ec;
        for (const auto& file : fs::directory_iterator(sessions / folder, ec)) {
            if (file.path().extension() != ".desktop") continue;
            std::ifstream in(file.path());
            auto keys = AppIdentities::entryKeys(in);
            if (keys["Hidden"] == "true" ||
                (keys.contains("TryExec") && !AppIdentities::resolveProgram(keys["TryExec"])))
                continue;
            const std::string name = file.path().stem().string();
            const std::string desktop = desktopNames(keys["DesktopNames"]);
            found.push_back({name, x11, keys["Name"], desktop.empty() ? name : desktop});
        }
    }
    std::sort(found.begin(), found.end(),
              [](const Offered& a, const Offered& b) { return a.name < b.name; });
    return found;
}

// The session the display manager starts for this choice: the one named, of the type named
// where both kinds have that name (Wayland when none is, as display managers prefer it); with
// no name or one not offered, their default, a Wayland session.
const Offered* started(const std::vector<Offered>& all, const platform::SessionChoice& choice) {
    const std::string& name = choice.session.empty() ? choice.xSession : choice.session;
    const Offered* named = nullptr;
    for (const auto& s : all)
        if (s.name == name && (!named || s.x11 == (choice.sessionType == "x11"))) named = &s;
    if (named) return named;
    const auto wayland = std::find_if(all.begin(), all.end(), [](auto& s) { return !s.x11; });
    return wayland == all.end() ? nullptr : &*wayland;
}

// An X11 session of the same desktop; one whose name means X11 to every display manager first.
const Offered* x11Of(const std::vector<Offered>& all, const Offered& wayland) {
    const Offered* best = nullptr;
    for (const auto& s : all) {
        if (!s.x11 || s.desktop != wayland.desktop) continue;
        const bool alsoWayland = std::any_of(all.begin(), all.end(), [&](auto& other) {
            return !other.x11 && other.name == s.name;
        });
        if (!best || !alsoWayland) best = &s;
        if (!alsoWayland) break;
    }
    return best;
}

} // namespace

SessionChooser::SessionChooser(const std::string& supportDir, std::string sessions)
    : memory_((fs::path(supportDir) / sessionMemoryName).string())
    , sessions_(std::move(sessions)) {}

std::string SessionChooser::chon(const std::string& user) const {
    const auto all = offered(sessions_);
    // Where every session is X11 the display manager need not be asked at all.
    if (std::all_of(all.begin(), all.end(), [](auto& s) { return s.x11; })) return {};
    try {
        const platform::SessionChoice before = platform::sessionChoice(user);
        const Offered* now = started(all, before);
        if (now->x11) return {};
        const Offered* x11 = x11Of(all, *now);
        if (!x11)
            return "⚠ Máy không có phiên X11 cho màn hình nền của con: khi máy bị khoá theo luật, "
                   "phiên của con sẽ bị khoá; luật ứng dụng được giữ bằng cách đóng chương trình "
                   "không được phép.\n";
        // The first choice is the one to give back: a second install finds its own.
        Memory memory = FileIO::read<Memory>(memory_).value_or(Memory{});
        if (memory.emplace(user, before).second) {
            try {
                FileIO::write(memory, memory_);
            } catch (const std::system_error& e) {
                throw SetupError("Không ghi được " + memory_ + ": " + e.what());
            }
        }
        platform::setSessionChoice(user, {x11->name, x11->name, "x11"});
        return "✓ Đã chọn phiên \"" + x11->label + "\" cho " + user +
               " để TovuControl trông được mọi ứng dụng của con.\n";
    } catch (const platform::ServiceError& e) {
        return "⚠ Không chọn được phiên đăng nhập cho " + user + " (" + e.what() +
               "): khi máy bị khoá theo luật, phiên của con vẫn bị khoá.\n";
    }
}

std::string SessionChooser::traLai() const {
    std::string said;
    for (const auto& [user, before] : FileIO::read<Memory>(memory_).value_or(Memory{})) {
        try {
            platform::setSessionChoice(user, before);
            said += "✓ Đã trả lại phiên đăng nhập cũ cho " + user + ".\n";
        } catch (const platform::ServiceError& e) {
            said +=
                "⚠ Không trả lại được phiên đăng nhập cũ cho " + user + " (" + e.what() + ").\n";
        }
    }
    return said;
}

} // namespace tovu
