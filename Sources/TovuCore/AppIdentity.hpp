#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tovu {

// Who a process is, learnt from what the process itself cannot forge: the executable the kernel
// runs for it (for an interpreter, the script it was started on), matched against the desktop
// entries that root installed.
struct AppIdentity {
    // The desktop id of the matching system entry ("org.gnome.Calculator"), the Flatpak or Snap
    // id of a sandboxed app, else the absolute path of the executable (or script). Empty when
    // the process could not be inspected (it has gone).
    std::string id;
    // The entry's name in the user's language, else the executable's file name.
    std::string name;
    // Matched a system desktop entry or a Flatpak/Snap id.
    bool installed = false;
    // Part of the desktop itself: a screen locker, the shell or a panel, the desktop icons, a
    // notification daemon, an input method, a polkit or keyring prompt, the window manager.
    // Never closed and never counted as an app in front.
    bool desktopComponent = false;

    bool operator==(const AppIdentity&) const = default;
};

// The applications installed system-wide, read once from their desktop entries. Directories that
// the user writes (~/.local/share, $XDG_DATA_DIRS) are never read: an entry there could make any
// program pass for an allowed one.
class AppCatalog {
public:
    // The share directories of the system and of system-wide Flatpak and Snap installs.
    static std::vector<std::string> systemDataDirs();
    // Reads <dir>/applications/**.desktop of each directory; the first directory that has an id
    // wins. Names are taken in the language of the locale variables at the time of the call.
    static AppCatalog load(std::vector<std::string> dataDirs = systemDataDirs());

    // The identity of a running process; id empty when the process is gone or hidden from us.
    AppIdentity identify(std::int32_t pid) const;
    // The identity of a program that runs executable (an absolute path) with these arguments
    // (without argv[0]); relative script paths are taken from cwd.
    AppIdentity identify(const std::string& executable, const std::vector<std::string>& arguments,
                         const std::string& cwd = "/") const;
    // The name of an installed entry, by desktop id; only for showing.
    std::optional<std::string> nameOf(const std::string& desktopId) const;

private:
    struct Entry {
        std::string id;
        std::string name;
    };
    // Resolved program (or script) path → entry, and desktop or sandbox id → entry.
    std::map<std::string, Entry> byProgram_;
    std::map<std::string, Entry> byId_;
    // Sandbox ids (Flatpak app id, Snap name) → entry.
    std::map<std::string, Entry> bySandbox_;

    AppIdentity sandboxed(const std::string& sandboxId) const;
};

namespace AppIdentities {
// The file that a program name of a command line runs: searched in the system's fixed PATH when
// it has no slash, with every symbolic link resolved; none when there is no such file.
std::optional<std::string> resolveProgram(const std::string& program, const std::string& cwd = "/");
// The script that an interpreter runs (first operand that is a file, after the interpreter's
// options), or none when it runs code given otherwise (-c, -m, standard input) or is no
// interpreter at all.
std::optional<std::string> scriptOf(const std::string& executable,
                                    const std::vector<std::string>& arguments,
                                    const std::string& cwd);
// Whether a root-owned executable, that no one else may rewrite, is a part of the desktop by
// its file name.
bool isDesktopComponent(const std::string& path);
// The keys of a desktop file's [Desktop Entry] group ("Name[vi]" stays whole).
std::map<std::string, std::string> entryKeys(std::istream& in);
// The words of a desktop entry's Exec value, unquoted, field codes dropped.
std::vector<std::string> execWords(const std::string& exec);
} // namespace AppIdentities

} // namespace tovu
