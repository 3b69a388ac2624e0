#pragma once

#include "Runner.hpp"
#include "TovuCore/platform/Platform.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace tovu {

class Jobs;

// Puts files in place. Outside trial mode (thu false) installed files are given to root.
class Installer {
public:
    Installer(Runner& runner, bool thu, std::string dir)
        : runner_(runner)
        , thu_(thu)
        , dir_(std::move(dir)) {}

    Runner& runner() const { return runner_; }
    bool thu() const { return thu_; }
    // The support directory that receives the items.
    const std::string& dir() const { return dir_; }

    // Copies an item (a file, or a bundle as a whole) into the support directory, replacing an
    // older copy, and returns the installed path. Throws SetupError when the copy fails.
    std::string caiVao(const std::filesystem::path& source) const;

    // Writes a job description: replaced, mode 0644, root-owned outside trial mode. Throws
    // SetupError when it cannot be written.
    void ghiJob(const std::string& text, const std::string& path) const;

private:
    void chown(std::vector<std::string> args) const;

    Runner& runner_;
    bool thu_;
    std::string dir_;
};

// Where the item called name is: beside the setup program in tuDay, else in ../Resources of a
// bundle whose MacOS folder holds the program. Throws SetupError when it is in neither.
std::filesystem::path nguon(const std::filesystem::path& tuDay, const std::string& name);

// Copies the daemon and the app bundle, writes both job descriptions and, outside trial mode,
// starts the jobs for the child's account.
void caiDat(const Installer& installer, Jobs& jobs, const std::filesystem::path& nguonDaemon,
            const std::filesystem::path& nguonApp, const platform::Account& child);

// Why the support directory must be neither filled nor deleted: no path, not a directory, a
// home folder or a folder above one, or a folder of other files with none of ours. Absent when
// it may be (a missing or empty folder may).
std::optional<std::string> khongDungDuoc(const std::string& dir);

// Stops and removes both jobs and deletes the support directory with everything in it. Throws
// SetupError, before touching anything, when the directory must not be deleted.
void go(const Installer& installer, Jobs& jobs);

} // namespace tovu
