#pragma once

#include "TovuCore/Ipc.hpp"
#include "TovuCore/Models.hpp"

#include <cstdint>
#include <optional>
#include <pwd.h>
#include <string>

namespace tovu::test {

inline Policy makePolicy(std::int64_t nextCheckSec = 60) {
    Policy p;
    p.serverTime = "2026-03-10T05:00:00Z";
    p.childName = "Bin";
    p.mode = "tu_do";
    p.nextCheckSec = nextCheckSec;
    return p;
}

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
