#pragma once

#include "TovuProtocol/Json.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace tovu {

// Well-known places. The locations are recomputed from the environment at every use.
namespace Paths {
std::string socket(); // TOVUC_SOCK, else /var/run/tovucontrol.sock
std::string dir();    // TOVUC_DIR, else the platform's support directory
std::string config(); // dir()/config.json
std::string state();  // dir()/state.json
// The agent's own identity among the apps, always allowed.
inline constexpr std::string_view helperBundleId = "vn.morvane.tovucontrol.helper";
} // namespace Paths

namespace Version {
std::string agent(); // platform::name() + "-0.1.0": "linux-0.1.0"
std::string os();    // "Linux 6.1", asked of the system at every call
} // namespace Version

namespace FileIO {
// Whole contents of a file, or absent when it cannot be read. Never throws, never logs.
std::optional<std::string> readText(const std::string& path);

// Decodes a file as T; absent when missing, unreadable, not JSON or not a T. Never throws.
template <class T> std::optional<T> read(const std::string& path) {
    auto text = readText(path);
    if (!text) return std::nullopt;
    return Json::tryDecode<T>(*text);
}

// Replaces the file atomically with the encoded value, readable by its owner only (0600) at
// every moment; a crash leaves the old file or the complete new one. Creates missing parent
// directories. The scratch file path + ".tmp" is created afresh (whatever was there is removed,
// links are not followed) and is gone after the call. Throws std::system_error when the file
// could not be put in place (the target is then unchanged); once it is, the write succeeded.
void writeJson(const nlohmann::json& value, const std::string& path);

template <class T> void write(const T& value, const std::string& path) {
    writeJson(nlohmann::json(value), path);
}
} // namespace FileIO

} // namespace tovu
