#pragma once

#include <optional>
#include <string>

namespace tovu {

// The Name of the desktop entry <id>.desktop found under $XDG_DATA_HOME and $XDG_DATA_DIRS, in
// the user's language when the entry has it; absent when no entry names the app.
std::optional<std::string> desktopEntryName(const std::string& id);

} // namespace tovu
