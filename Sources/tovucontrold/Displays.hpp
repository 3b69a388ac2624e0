#pragma once

#include <string>

namespace tovu {

// Whether a monitor shows anything: a connected DRM connector whose power state is "On", as the
// kernel reports under drm (/sys/class/drm). A computer with no connected connector (a remote
// machine, a driver without DRM) counts as on.
bool displaysOn(const std::string& drm = "/sys/class/drm");

} // namespace tovu
