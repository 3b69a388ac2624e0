#pragma once

#include <string>
#include <string_view>

namespace tovu {

// Where the support directory keeps each child's session choice from before the install.
inline constexpr std::string_view sessionMemoryName = "sessions.json";

// Gives the child sessions that the agent covers: where the child's desktop would start on
// Wayland and the display manager offers an X11 session of the same desktop, that one becomes
// the child's choice, and removal gives the earlier choice back. The display manager's session
// files lie in <sessions>/xsessions and <sessions>/wayland-sessions.
class SessionChooser {
public:
    explicit SessionChooser(const std::string& supportDir, std::string sessions = "/usr/share");

    // The line that tells the parent what was chosen, or why nothing could be; empty when the
    // child's sessions are X11 already. A display manager that cannot be asked is reported,
    // not thrown. Throws SetupError when the earlier choice cannot be kept.
    std::string chon(const std::string& user) const;
    // Gives each child the choice it had before the first chon; a line for each.
    std::string traLai() const;

private:
    std::string memory_;
    std::string sessions_;
};

} // namespace tovu
