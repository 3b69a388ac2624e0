#include "TovuCore/AppIdentity.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <utility>

namespace tovu {
namespace fs = std::filesystem;

namespace {

// The PATH of a system service: the child's own PATH could point anywhere.
constexpr std::array systemPath = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                   "/usr/bin",        "/sbin",          "/bin"};

const std::set<std::string_view> desktopPrograms = {
    // screen lockers and their dialogs
    "xscreensaver", "xscreensaver-command", "light-locker", "i3lock", "xsecurelock", "slock",
    "xlock", "xtrlock", "gnome-screensaver", "gnome-screensaver-dialog", "kscreenlocker_greet",
    "cinnamon-screensaver", "cinnamon-screensaver-pam-helper", "mate-screensaver",
    "mate-screensaver-dialog", "xfce4-screensaver", "xfce4-screensaver-dialog",
    // shells, panels, docks, desktop icons, session managers and window managers
    "gnome-shell", "gnome-session-binary", "plasmashell", "kwin_x11", "ksmserver", "xfce4-panel",
    "xfce4-session", "xfdesktop", "xfwm4", "xfsettingsd", "mate-panel", "mate-session", "marco",
    "caja", "nemo-desktop", "nautilus-desktop", "cinnamon", "cinnamon-session-binary", "muffin",
    "lxqt-panel", "lxqt-session", "lxqt-runner", "pcmanfm-qt", "pcmanfm", "lxpanel", "lxsession",
    "budgie-panel", "budgie-wm", "openbox", "metacity", "mutter", "fluxbox", "icewm", "tint2",
    "plank", "wingpanel", "gala",
    // notification daemons
    "xfce4-notifyd", "notification-daemon", "mate-notification-daemon", "notify-osd", "dunst",
    "lxqt-notificationd",
    // input methods
    "ibus-daemon", "ibus-ui-gtk3", "ibus-x11", "ibus-extension-gtk3", "fcitx", "fcitx5",
    "fcitx-qimpanel", "uim-xim", "uim-toolbar-gtk3",
    // polkit agents and keyring or passphrase prompts
    "polkit-gnome-authentication-agent-1", "polkit-kde-authentication-agent-1",
    "polkit-mate-authentication-agent-1", "lxpolkit", "lxqt-policykit-agent", "xfce-polkit",
    "gcr-prompter", "gcr4-prompter", "pinentry-gnome3", "pinentry-gtk-2", "pinentry-qt",
    "ksshaskpass", "ssh-askpass"};

// Interpreters, by file name without their version ("python3.11" is "python").
bool isInterpreter(const std::string& executable) {
    static const std::regex names(
        "(python|pypy|perl|ruby|node|nodejs|java|sh|bash|dash|zsh|ksh|mksh|fish|tclsh|wish|lua|"
        "luajit|php|gjs|guile|osascript|Rscript)[0-9.]*");
    return std::regex_match(fs::path(executable).filename().string(), names);
}

std::string trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return "";
    return std::string(s.substr(first, s.find_last_not_of(" \t\r") - first + 1));
}

std::string envOr(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The locale keys of a localised value, most specific first: lang_COUNTRY@MODIFIER,
// lang_COUNTRY, lang@MODIFIER, lang.
std::vector<std::string> localeKeys() {
    std::string locale = envOr("LC_ALL");
    if (locale.empty()) locale = envOr("LC_MESSAGES");
    if (locale.empty()) locale = envOr("LANG");
    std::string modifier;
    if (auto at = locale.find('@'); at != std::string::npos) {
        modifier = locale.substr(at + 1);
        locale.erase(at);
    }
    if (auto dot = locale.find('.'); dot != std::string::npos) locale.erase(dot);
    if (locale.empty() || locale == "C" || locale == "POSIX") return {};
    const auto underscore = locale.find('_');
    const std::string lang = locale.substr(0, underscore);
    std::vector<std::string> keys;
    if (underscore != std::string::npos) {
        if (!modifier.empty()) keys.push_back(locale + "@" + modifier);
        keys.push_back(locale);
    }
    if (!modifier.empty()) keys.push_back(lang + "@" + modifier);
    keys.push_back(lang);
    return keys;
}

std::string localised(const std::map<std::string, std::string>& keys,
                      const std::vector<std::string>& locales) {
    for (const auto& locale : locales)
        if (auto it = keys.find("Name[" + locale + "]"); it != keys.end() && !it->second.empty())
            return it->second;
    auto it = keys.find("Name");
    return it == keys.end() ? "" : it->second;
}

// What a command line runs: the program, or for an interpreter the script it is given.
std::optional<std::string> programKey(const std::vector<std::string>& words,
                                      const std::string& cwd) {
    std::size_t first = 0;
    // env VAR=value ... program
    if (!words.empty() && fs::path(words[0]).filename() == "env") {
        first = 1;
        while (first < words.size() &&
               (words[first].starts_with('-') || words[first].find('=') != std::string::npos))
            ++first;
    }
    if (first >= words.size()) return std::nullopt;
    auto program = AppIdentities::resolveProgram(words[first], cwd);
    if (!program) return std::nullopt;
    const std::vector<std::string> rest(words.begin() + static_cast<std::ptrdiff_t>(first) + 1,
                                        words.end());
    return AppIdentities::scriptOf(*program, rest, cwd).value_or(*program);
}

} // namespace

namespace AppIdentities {

std::map<std::string, std::string> entryKeys(std::istream& in) {
    std::map<std::string, std::string> keys;
    bool inEntry = false;
    for (std::string line; std::getline(in, line);) {
        line = trimmed(line);
        if (line.starts_with('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const auto equals = line.find('=');
        if (!inEntry || line.starts_with('#') || equals == std::string::npos) continue;
        keys.emplace(trimmed(std::string_view(line).substr(0, equals)),
                     trimmed(std::string_view(line).substr(equals + 1)));
    }
    return keys;
}

std::optional<std::string> resolveProgram(const std::string& program, const std::string& cwd) {
    std::vector<fs::path> candidates;
    if (program.find('/') != std::string::npos)
        candidates.push_back(fs::path(cwd) / program);
    else
        for (const char* dir : systemPath)
            candidates.push_back(fs::path(dir) / program);
    for (const auto& candidate : candidates) {
        std::error_code ec;
        auto real = fs::canonical(candidate, ec);
        if (!ec && fs::is_regular_file(real, ec)) return real.string();
    }
    return std::nullopt;
}

std::optional<std::string> scriptOf(const std::string& executable,
                                    const std::vector<std::string>& arguments,
                                    const std::string& cwd) {
    if (!isInterpreter(executable)) return std::nullopt;
    const std::string name = fs::path(executable).filename().string();
    // The options after which the code comes from the command line, not from a file.
    std::set<std::string_view> inline_ = {"-", "-c"};
    if (name.starts_with("python") || name.starts_with("pypy")) inline_.insert("-m");
    if (name.starts_with("perl") || name.starts_with("ruby") || name.starts_with("node") ||
        name.starts_with("php") || name.starts_with("lua"))
        inline_.insert({"-e", "-E", "--eval", "-p", "-r"});
    const bool java = name.starts_with("java");
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (inline_.contains(a)) return std::nullopt;
        const bool jar = java && a == "-jar" && i + 1 < arguments.size();
        if (a.starts_with('-') && !jar) continue;
        // The script, or the jar; a relative one is found from the working folder.
        const std::string& file = jar ? arguments[i + 1] : a;
        return resolveProgram(file.find('/') == std::string::npos ? "./" + file : file, cwd);
    }
    return std::nullopt;
}

bool isDesktopComponent(const std::string& path) {
    struct stat st {};
    if (!desktopPrograms.contains(fs::path(path).filename().string()) ||
        stat(path.c_str(), &st) != 0)
        return false;
    return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::vector<std::string> execWords(const std::string& exec) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted) {
            if (c == '"')
                quoted = false;
            else if (c == '\\' && i + 1 < exec.size())
                word += exec[++i];
            else
                word += c;
        } else if (c == '"') {
            quoted = inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord) words.push_back(std::exchange(word, {}));
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    // Field codes (%f, %U, ...) stand for what the launcher adds.
    std::erase_if(words, [](const std::string& w) { return w.size() == 2 && w[0] == '%'; });
    return words;
}

} // namespace AppIdentities

AppCatalog AppCatalog::load(std::vector<std::string> dataDirs) {
    AppCatalog catalog;
    const auto locales = localeKeys();
    for (const auto& dir : dataDirs) {
        const fs::path root = fs::path(dir) / "applications";
        std::error_code ec;
        std::vector<fs::path> files;
        for (auto it = fs::recursive_directory_iterator(root, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->path().extension() == ".desktop") files.push_back(it->path());
        std::ranges::sort(files);
        for (const auto& file : files) {
            // "kde/app.desktop" is the desktop id "kde-app".
            std::string id = file.lexically_relative(root).replace_extension().string();
            std::ranges::replace(id, '/', '-');
            if (catalog.byId_.contains(id)) continue;
            std::ifstream in(file);
            const auto keys = AppIdentities::entryKeys(in);
            auto value = [&](const std::string& key) {
                auto it = keys.find(key);
                return it == keys.end() ? std::string() : it->second;
            };
            if (value("Type") != "Application" || value("Hidden") == "true") continue;
            const Entry entry{id, localised(keys, locales)};
            catalog.byId_.emplace(id, entry);
            if (auto flatpak = value("X-Flatpak"); !flatpak.empty())
                catalog.bySandbox_.emplace(flatpak, entry);
            else if (auto snap = value("X-SnapInstanceName"); !snap.empty())
                catalog.bySandbox_.emplace(snap, entry);
            else if (auto key = programKey(AppIdentities::execWords(value("Exec")), "/"))
                catalog.byProgram_.emplace(*key, entry);
        }
    }
    return catalog;
}

AppIdentity AppCatalog::identify(const std::string& executable,
                                 const std::vector<std::string>& arguments,
                                 const std::string& cwd) const {
    const std::string key =
        AppIdentities::scriptOf(executable, arguments, cwd).value_or(executable);
    AppIdentity identity;
    identity.desktopComponent = AppIdentities::isDesktopComponent(key);
    if (auto it = byProgram_.find(key); it != byProgram_.end()) {
        identity.id = it->second.id;
        identity.name = it->second.name;
        identity.installed = true;
    } else {
        identity.id = key;
        identity.name = fs::path(key).filename().string();
    }
    return identity;
}

AppIdentity AppCatalog::sandboxed(const std::string& sandboxId) const {
    AppIdentity identity{sandboxId, sandboxId, true, false};
    if (auto it = bySandbox_.find(sandboxId); it != bySandbox_.end() && !it->second.name.empty())
        identity.name = it->second.name;
    return identity;
}

std::optional<std::string> AppCatalog::nameOf(const std::string& desktopId) const {
    auto it = byId_.find(desktopId);
    if (it == byId_.end() || it->second.name.empty()) return std::nullopt;
    return it->second.name;
}

} // namespace tovu
