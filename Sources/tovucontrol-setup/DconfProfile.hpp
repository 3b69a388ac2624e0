#pragma once

#include "Runner.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <filesystem>
#include <string>
#include <string_view>

namespace tovu {

// The tmpfiles.d entry that gives the child their own dconf profile at every boot.
inline constexpr std::string_view dconfEntryName = "tovucontrol-dconf.conf";

// Keeps the GNOME Shell extension on for the child's account alone. dconf reads a profile in
// /run/dconf/user/UID before /etc/dconf/profile/user; the child's names the locked database
// the package ships (/etc/dconf/db/tovucontrol.d), and other accounts keep their own settings.
// /run is emptied at boot, so a tmpfiles.d entry makes the profile again each time.
class DconfProfile {
public:
    // root: where the system's /etc and /run are ("/" but in tests).
    explicit DconfProfile(Runner& runner, std::filesystem::path root = "/");

    // Trial mode: writes the entry for the account uid into dir.
    static void ghi(const std::string& dir, std::uint32_t uid);

    // Compiles the database, installs the entry for the child alone and applies it now; a line
    // saying so, or why it could not (what the child can then do). A profile of an earlier
    // child goes first.
    std::string nap(const platform::Account& child) const;

    // Removes the entry, the profiles it made and the compiled database.
    void go() const;

private:
    std::filesystem::path entry() const;

    Runner& runner_;
    std::filesystem::path root_;
};

} // namespace tovu
