#pragma once

#include "HttpServer.hpp"
#include "Hub.hpp"
#include "Store.hpp"

namespace tovu::server {

// The endpoints the setup tool and the daemon call: pairing, sync, requests and the wait.
void addDeviceApi(HttpServer& server, Store& store, Hub& hub);

} // namespace tovu::server
