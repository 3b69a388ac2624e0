#pragma once

#include "Devices.hpp"
#include "HttpServer.hpp"
#include "Hub.hpp"
#include "Notifier.hpp"

namespace tovu::server {

// The endpoints the setup tool and the daemon call: pairing, sync, requests and the wait.
void addDeviceApi(HttpServer& server, Devices& devices, Hub& hub, Notifier& notifier);

} // namespace tovu::server
