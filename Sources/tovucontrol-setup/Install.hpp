#pragma once

#include <optional>
#include <string>

namespace tovu {

class SystemdUnits;

// Why the support directory must be neither filled nor deleted: no path, not a directory, a
// home folder or a folder above one, or a folder of other files with none of ours. Absent when
// it may be (a missing or empty folder may).
std::optional<std::string> khongDungDuoc(const std::string& dir);

// Stops and disables the units (outside trial mode, when units is given) and deletes the
// support directory with everything in it. Throws SetupError, before touching anything, when
// the directory must not be deleted.
void go(const std::string& dir, const SystemdUnits* units);

} // namespace tovu
