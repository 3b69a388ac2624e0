#pragma once

#include "Store.hpp"

#include <httplib.h>

namespace tovu::server {

// The four endpoints the setup tool and the daemon call.
void addDeviceApi(httplib::Server& server, Store& store);

} // namespace tovu::server
