#pragma once

#include "TovuCore/Ipc.hpp"
#include "TovuProtocol/Iso.hpp"
#include "TovuProtocol/Models.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <pwd.h>
#include <string>
#include <vector>

namespace tovu::test {

// A policy as the parents' server sends it, asking for a sync every 10 s so that a changed
// answer of the server reaches the daemon soon.
inline Policy trialPolicy(bool locked, std::string mode,
                          std::vector<std::string> allowedApps = {}) {
    Policy p;
    p.serverTime = Iso::format(std::chrono::system_clock::now());
    p.childName = "Bin";
    p.mode = std::move(mode);
    p.locked = locked;
    if (locked) p.lockReason = "het_gio";
    p.allowedApps = std::move(allowedApps);
    p.nextCheckSec = 10;
    return p;
}

// The same, unlocked and fetched at a fixed time.
inline Policy makePolicy(std::int64_t nextCheckSec = 60) {
    auto p = trialPolicy(false, "tu_do");
    p.serverTime = "2026-03-10T05:00:00Z";
    p.nextCheckSec = nextCheckSec;
    return p;
}

// A request with only its op set.
inline IpcRequest op(std::string name) {
    IpcRequest r;
    r.op = std::move(name);
    return r;
}

inline std::optional<std::uint32_t> uidOf(const char* name) {
    const passwd* pw = getpwnam(name);
    return pw ? std::optional<std::uint32_t>(pw->pw_uid) : std::nullopt;
}

} // namespace tovu::test
