#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovu {

// Creates or truncates path and writes text, mode 0644 whatever the umask; the error text when
// that fails.
std::optional<std::string> writeText(std::string_view text, const std::string& path);

} // namespace tovu
