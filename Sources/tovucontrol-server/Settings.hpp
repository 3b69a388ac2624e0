#pragma once

#include <string>
#include <vector>

namespace tovu::server {

// The program's arguments with the settings file's options put before them, so that the
// command line wins: each "name = value" line stands for "--name value"; blank lines and lines
// starting with "#" are skipped. A missing file adds nothing. Throws std::runtime_error for a
// line that is not "name = value", naming the file and the line.
std::vector<std::string> withSettings(const std::string& file, std::vector<std::string> args);

// Run as root on a store folder that belongs to another account, becomes that account, so that
// whatever the store adds there stays the service's own. Does nothing otherwise. Throws
// std::system_error when the switch fails.
void becomeOwnerOf(const std::string& folder);

} // namespace tovu::server
