#pragma once

#include "TovuCore/Ipc.hpp"
#include "TovuCore/Models.hpp"

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

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

// A port on 127.0.0.1 where nobody listens.
inline int closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

inline std::optional<std::uint32_t> uidOf(const char* name) {
    const passwd* pw = getpwnam(name);
    return pw ? std::optional<std::uint32_t>(pw->pw_uid) : std::nullopt;
}

} // namespace tovu::test
