#pragma once

#include "platform/Workspace.hpp"

namespace tovu {

// The apps of a Wayland session, as one of its clients sees them: none. The compositor shows no
// client another's windows, so nothing is listed or named in front here; the shell tells the
// daemon itself which app is in front, and the daemon ends what the rules refuse as it starts.
class WaylandWorkspace final : public Workspace {
public:
    std::vector<RunningApp> runningApps() const override { return {}; }
    std::optional<RunningApp> frontmostApp() const override { return std::nullopt; }
    void forceTerminate(const RunningApp&) override {}
};

} // namespace tovu
