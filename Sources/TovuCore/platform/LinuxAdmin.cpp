// Whether an account can make itself root: by its groups, or by a rule of the sudo policy.
#include "TovuCore/Paths.hpp"
#include "TovuCore/platform/LinuxPlatform.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <grp.h>
#include <map>
#include <pwd.h>
#include <regex>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace tovu::platform {

namespace {

using Aliases = std::map<std::string, std::vector<std::string>, std::less<>>;

std::string_view trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// The line up to its comment. "#" followed by a digit is a user id, "%#" a group id.
std::string withoutComment(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\') {
            ++i;
        } else if (line[i] == '#' && (i == 0 || line[i - 1] != '%') &&
                   (i + 1 == line.size() ||
                    !std::isdigit(static_cast<unsigned char>(line[i + 1])))) {
            return std::string(line.substr(0, i));
        }
    }
    return std::string(line);
}

// Items of a comma-separated list, trimmed, quotes and escapes undone.
std::vector<std::string> listItems(std::string_view list) {
    std::vector<std::string> items(1);
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] == '\\' && i + 1 < list.size())
            items.back() += list[++i];
        else if (list[i] == ',')
            items.emplace_back();
        else if (list[i] != '"' && list[i] != ' ' && list[i] != '\t')
            items.back() += list[i];
    }
    return items;
}

class SudoersReader {
public:
    explicit SudoersReader(fs::path root)
        : root_(std::move(root)) {}

    // Every logical line of the file and of the files it includes, in the order sudo reads them.
    // A file is read once, however often it is included: a rule counts the same either way.
    void read(const fs::path& file) {
        if (!read_.insert(file.lexically_normal()).second) return;
        const auto text = FileIO::readText((root_ / file.relative_path()).string());
        if (!text) return;
        std::istringstream in(*text);
        std::string line, raw;
        while (std::getline(in, raw)) {
            if (raw.ends_with('\\')) {
                line += raw.substr(0, raw.size() - 1) + ' ';
                continue;
            }
            line += raw;
            take(trimmed(line), file);
            line.clear();
        }
    }

    const std::vector<std::string>& lines() const { return lines_; }

private:
    void take(std::string_view line, const fs::path& file) {
        for (const std::string_view directive :
             {"@includedir", "#includedir", "@include", "#include"}) {
            if (!line.starts_with(directive) || line.size() == directive.size() ||
                !std::isspace(static_cast<unsigned char>(line[directive.size()])))
                continue;
            std::string name(trimmed(line.substr(directive.size())));
            std::erase(name, '"');
            const fs::path target = file.parent_path() / name; // relative: beside the file
            if (directive.ends_with("dir"))
                readDirectory(target);
            else
                read(target);
            return;
        }
        if (auto rest = withoutComment(line); !trimmed(rest).empty()) lines_.push_back(rest);
    }

    // sudo skips names that end in "~" or contain ".", such as editor backups and README.txt.
    void readDirectory(const fs::path& dir) {
        std::error_code ec;
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(root_ / dir.relative_path(), ec))
            if (auto name = entry.path().filename().string();
                !name.ends_with('~') && name.find('.') == std::string::npos)
                names.insert(name);
        for (const auto& name : names)
            read(dir / name);
    }

    fs::path root_;
    std::set<fs::path> read_;
    std::vector<std::string> lines_;
};

class UserMatcher {
public:
    UserMatcher(const SudoersAccount& who, const Aliases& aliases)
        : who_(who)
        , aliases_(aliases) {}

    // The last item that names the account decides: "ALL, !bin" leaves bin out.
    bool inList(const std::vector<std::string>& items) const {
        bool in = false;
        for (std::string_view item : items) {
            bool negated = false;
            while (item.starts_with('!')) {
                negated = !negated;
                item.remove_prefix(1);
            }
            if (names(item)) in = !negated;
        }
        return in;
    }

private:
    bool names(std::string_view item) const {
        if (item == "ALL") return true;
        if (item.starts_with("%#"))
            return hasGroup([&](const auto& g) { return id(item, 2) == g.second; });
        if (item.starts_with("%:") || item.starts_with('+')) return false; // not Unix groups
        if (item.starts_with('%'))
            return hasGroup([&](const auto& g) { return item.substr(1) == g.first; });
        if (item.starts_with('#')) return id(item, 1) == who_.uid;
        if (auto alias = aliases_.find(item); alias != aliases_.end()) {
            // Each alias is worked out once; one that refers back to itself names nobody.
            auto [known, first] = expanded_.try_emplace(alias->first);
            if (first) known->second = inList(alias->second);
            return known->second.value_or(false);
        }
        return item == who_.user;
    }

    template <class P> bool hasGroup(P matches) const {
        return std::any_of(who_.groups.begin(), who_.groups.end(), matches);
    }

    static std::optional<std::uint32_t> id(std::string_view item, std::size_t skip) {
        std::uint32_t value = 0;
        const char* end = item.data() + item.size();
        const auto [stop, error] = std::from_chars(item.data() + skip, end, value);
        if (error != std::errc() || stop != end) return std::nullopt;
        return value;
    }

    const SudoersAccount& who_;
    const Aliases& aliases_;
    mutable std::map<std::string, std::optional<bool>, std::less<>> expanded_;
};

// Runs a reentrant getpw*_r or getgr*_r lookup, growing its buffer as asked, and returns what
// take makes of the entry while the buffer still holds its texts.
template <class T, class Lookup, class Take>
auto lookUp(Lookup lookup, Take take) -> std::optional<decltype(take(std::declval<T&>()))> {
    T entry{};
    T* result = nullptr;
    std::vector<char> buffer(4096);
    while (lookup(&entry, buffer.data(), buffer.size(), &result) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (!result) return std::nullopt;
    return take(entry);
}

} // namespace

bool sudoersRuleFor(const fs::path& root, const SudoersAccount& who) {
    SudoersReader reader(root);
    reader.read("/etc/sudoers");
    Aliases aliases;
    std::vector<std::vector<std::string>> userLists;
    for (const std::string& line : reader.lines()) {
        const std::string first = line.substr(0, line.find_first_of(" \t"));
        if (first == "User_Alias") {
            // User_Alias NAME = items [: NAME = items]...
            std::istringstream definitions(line.substr(first.size()));
            for (std::string part; std::getline(definitions, part, ':');)
                if (const auto eq = part.find('='); eq != std::string::npos)
                    aliases[std::string(trimmed(std::string_view(part).substr(0, eq)))] =
                        listItems(part.substr(eq + 1));
        } else if (!first.starts_with("Defaults") && !first.ends_with("_Alias")) {
            // user_list host_list = ...: the user list is the first word once the blanks
            // around its commas are gone.
            static const std::regex aroundCommas("\\s*,\\s*");
            const std::string head =
                std::regex_replace(line.substr(0, line.find('=')), aroundCommas, ",");
            userLists.push_back(listItems(head.substr(0, head.find_first_of(" \t"))));
        }
    }
    const UserMatcher matcher(who, aliases);
    return std::any_of(userLists.begin(), userLists.end(),
                       [&](const auto& users) { return matcher.inList(users); });
}

bool isAdmin(const std::string& user) {
    const auto account =
        lookUp<passwd>([&](passwd* e, char* b, std::size_t n,
                           passwd** r) { return getpwnam_r(user.c_str(), e, b, n, r); },
                       [](const passwd& e) { return std::pair(e.pw_uid, e.pw_gid); });
    if (!account) return false;

    std::vector<gid_t> gids(32);
    int count = static_cast<int>(gids.size());
    while (getgrouplist(user.c_str(), account->second, gids.data(), &count) < 0) {
        // count now holds the number needed.
        gids.resize(std::max(static_cast<std::size_t>(count), gids.size() * 2));
        count = static_cast<int>(gids.size());
    }
    gids.resize(static_cast<std::size_t>(count));

    SudoersAccount who{user, account->first, {}};
    for (const gid_t gid : gids)
        if (auto name = lookUp<group>([&](group* e, char* b, std::size_t n,
                                          group** r) { return getgrgid_r(gid, e, b, n, r); },
                                      [](const group& e) { return std::string(e.gr_name); }))
            who.groups.emplace_back(std::move(*name), gid);

    // Groups whose members are root in all but name.
    constexpr std::string_view rootGroups[] = {"sudo", "wheel",       "admin",   "docker",
                                               "lxd",  "incus-admin", "libvirt", "disk"};
    for (const auto& [name, gid] : who.groups)
        if (std::find(std::begin(rootGroups), std::end(rootGroups), name) != std::end(rootGroups))
            return true;
    return sudoersRuleFor("/", who);
}

} // namespace tovu::platform
