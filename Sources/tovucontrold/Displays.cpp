#include "Displays.hpp"

#include "TovuCore/Paths.hpp"

#include <filesystem>

namespace tovu {
namespace {

std::string firstLine(const std::filesystem::path& file) {
    const auto text = FileIO::readText(file.string()).value_or("");
    return text.substr(0, text.find('\n'));
}

} // namespace

bool displaysOn(const std::string& drm) {
    bool connected = false;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(drm, ec)) {
        // Connectors are "card0-HDMI-A-1"; the cards themselves have no status.
        if (firstLine(entry.path() / "status") != "connected") continue;
        if (firstLine(entry.path() / "dpms") == "On") return true;
        connected = true;
    }
    return !connected;
}

} // namespace tovu
