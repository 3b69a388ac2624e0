#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tovu {

// The sysctl.d drop-in that keeps the scope at every boot.
inline constexpr std::string_view ptraceDropInName = "99-tovucontrol-ptrace.conf";

// Yama's ptrace scope 1: a program may trace only its own descendants, so no program of the
// child's attaches to the desktop's shell to speak for it, or to another program of theirs.
// Debian leaves it at 0; where it is 0, setup raises it now and for every boot.
class PtraceScope {
public:
    // root: where the system's /etc and /proc are ("/" but in tests).
    explicit PtraceScope(std::filesystem::path root = "/");

    // Trial mode: writes the drop-in into dir.
    static void ghi(const std::string& dir);

    // Raises the scope from 0 to 1 now and for every boot; a line saying so, or that the kernel
    // has no Yama; nothing where it is already 1 or more.
    std::string nap() const;

    // Removes the drop-in and, where it raised the scope, lowers it to 0 again now; a line
    // saying so, nothing when there was no drop-in.
    std::string go() const;

private:
    std::filesystem::path dropIn() const;
    std::filesystem::path live() const;

    std::filesystem::path root_;
};

} // namespace tovu
