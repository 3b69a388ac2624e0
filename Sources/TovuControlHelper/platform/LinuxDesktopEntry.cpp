#include "platform/LinuxDesktopEntry.hpp"

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace tovu {
namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> dataDirectories() {
    std::vector<std::string> dirs;
    std::string home = env("XDG_DATA_HOME");
    if (home.empty() && !env("HOME").empty()) home = env("HOME") + "/.local/share";
    if (!home.empty()) dirs.push_back(home);
    std::string rest = env("XDG_DATA_DIRS");
    if (rest.empty()) rest = "/usr/local/share:/usr/share";
    std::istringstream in(rest);
    for (std::string dir; std::getline(in, dir, ':');)
        if (!dir.empty()) dirs.push_back(dir);
    return dirs;
}

// The keys of Name to look for, most specific first: lang_COUNTRY@MODIFIER, lang_COUNTRY,
// lang@MODIFIER, lang.
std::vector<std::string> localeKeys() {
    std::string locale = env("LC_ALL");
    if (locale.empty()) locale = env("LC_MESSAGES");
    if (locale.empty()) locale = env("LANG");
    std::string modifier;
    if (auto at = locale.find('@'); at != std::string::npos) {
        modifier = locale.substr(at + 1);
        locale.erase(at);
    }
    if (auto dot = locale.find('.'); dot != std::string::npos) locale.erase(dot);
    if (locale.empty() || locale == "C" || locale == "POSIX") return {};
    auto underscore = locale.find('_');
    std::string lang = locale.substr(0, underscore);
    std::vector<std::string> keys;
    if (underscore != std::string::npos) {
        if (!modifier.empty()) keys.push_back(locale + "@" + modifier);
        keys.push_back(locale);
    }
    if (!modifier.empty()) keys.push_back(lang + "@" + modifier);
    keys.push_back(lang);
    return keys;
}

std::string trimmed(const std::string& s) {
    auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// Name values of the [Desktop Entry] group, by locale ("" for the plain one).
std::map<std::string, std::string> names(std::istream& in) {
    std::map<std::string, std::string> found;
    bool inEntry = false;
    for (std::string line; std::getline(in, line);) {
        line = trimmed(line);
        if (line.starts_with('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry || !line.starts_with("Name")) continue;
        std::string rest = line.substr(4);
        std::string locale;
        if (rest.starts_with('[')) {
            auto close = rest.find(']');
            if (close == std::string::npos) continue;
            locale = rest.substr(1, close - 1);
            rest = rest.substr(close + 1);
        }
        rest = trimmed(rest);
        if (rest.starts_with('=')) found.emplace(locale, trimmed(rest.substr(1)));
    }
    return found;
}

} // namespace

std::optional<std::string> desktopEntryName(const std::string& id) {
    // The id comes from another program's window: it must not lead out of the directories.
    if (id.empty() || id.starts_with('.') || id.find('/') != std::string::npos) return std::nullopt;
    for (const auto& dir : dataDirectories()) {
        std::ifstream in(dir + "/applications/" + id + ".desktop");
        if (!in) continue;
        auto found = names(in);
        for (const auto& key : localeKeys())
            if (auto it = found.find(key); it != found.end() && !it->second.empty())
                return it->second;
        if (auto it = found.find(""); it != found.end() && !it->second.empty()) return it->second;
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace tovu
