#pragma once

#include "TovuProtocol/Models.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovu {

// Agent → daemon, one JSON line.
struct IpcRequest {
    std::string op;
    std::optional<std::vector<UsageEntry>> entries;
    std::optional<std::string> kind;
    std::optional<std::int64_t> minutes;
    std::optional<std::string> appId;
    std::optional<std::string> appName;
    std::optional<std::string> note;
    std::optional<std::string> id;
    std::optional<std::vector<std::map<std::string, std::string>>> apps;
    // The X display the agent holds.
    std::optional<std::string> display;
    // The process whose window the shell has in front (op "front").
    std::optional<std::int64_t> pid;

    bool operator==(const IpcRequest&) const = default;
};

// The last program of the child that the daemon ended because the rules did not let it run.
struct EndedApp {
    // The reason when the rules simply do not let the app run now.
    static constexpr std::string_view notNow = "chưa được mở lúc này";

    std::string appId;
    std::string appName;
    std::string reason;
    std::string at; // when, ISO 8601

    bool operator==(const EndedApp&) const = default;
};

// Daemon → agent, one JSON line.
struct IpcResponse {
    bool ok = false;
    std::optional<std::string> error;
    std::optional<Policy> policy;
    std::optional<std::vector<UsageEntry>> entries;
    std::optional<RequestResult> result;
    std::optional<RequestState> state;
    std::optional<bool> online;
    // With the policy: so that the child's session can say why a program it opened has gone.
    std::optional<EndedApp> ended;

    static IpcResponse failure(std::string error);
    bool operator==(const IpcResponse&) const = default;
};

void to_json(nlohmann::json& j, const IpcRequest& v);
void from_json(const nlohmann::json& j, IpcRequest& v);
void to_json(nlohmann::json& j, const IpcResponse& v);
void to_json(nlohmann::json& j, const EndedApp& v);
void from_json(const nlohmann::json& j, EndedApp& v);
void from_json(const nlohmann::json& j, IpcResponse& v);

namespace Ipc {

// Caller's user id passed to the handler when the system cannot tell who is connected: it
// matches no account, so such a caller is never trusted.
inline constexpr std::uint32_t unknownUid = UINT32_MAX;
// The answer to an agent whose login session already has one: it then ends.
inline constexpr std::string_view daCoAgent = "Phiên này đã có TovuControl chạy rồi";

// The process at the other end of a connection, as the kernel saw it at connect time; pid 0
// when unknown.
struct Peer {
    std::uint32_t uid = unknownUid;
    std::int32_t pid = 0;
    // The inode of this end of the connection; 0 when unknown.
    std::uint64_t socket = 0;
    bool operator==(const Peer&) const = default;
};

using Handler = std::function<IpcResponse(const IpcRequest& request, const Peer& peer)>;

// Bounds on what local users can make the server hold. The socket is open to every local user,
// so idle, slow or oversized connections must never starve the real agent.
struct Limits {
    // Connections still sending their line; when full, the oldest is dropped.
    std::size_t maxConnections = 256;
    // Time a connection has to send its line.
    std::chrono::milliseconds lineDeadline{5000};
    // All lines not yet handled; above it the biggest line still arriving is dropped.
    std::size_t maxBufferedBytes = 8 * 1024 * 1024;
    // Handler calls running at once; further requests wait in a queue.
    std::size_t maxWorkers = 32;
};

struct Options {
    Limits limits;
    // Asked at connect time, before a byte is read: absent lets the caller in, otherwise the
    // answer it gets at once. Empty: everyone is let in.
    std::function<std::optional<IpcResponse>(const Peer& peer)> admit;
    // Requests the handler answers without waiting (no network, no disk): they are answered on
    // the thread that read them. Empty: every request goes to a worker.
    std::function<bool(const IpcRequest& request)> quick;
};

// A running server; destroying it stops accepting, closes the connections whose request is
// not yet being handled, waits for running handlers and removes nothing from the file system.
class Server {
public:
    virtual ~Server() = default;
};

// Binds path (mode 0666), starts serving and returns. Throws ApiError (no status) when the
// socket cannot be set up.
std::unique_ptr<Server> serve(const std::string& path, Handler xuLy, Options options = {});

// One exchange with the server at path; never throws: failures come back as ok false with a
// Vietnamese error. Blocks up to 25 s waiting for the answer.
IpcResponse call(const IpcRequest& request, const std::string& path);

// Writes one message (JSON + line feed); failures (peer gone) are silent and never raise SIGPIPE.
void guiDong(int fd, const IpcRequest& message);
void guiDong(int fd, const IpcResponse& message);

// Reads one message (up to a final line feed, or about 1 MB); absent when nothing was read.
std::optional<std::string> docDong(int fd);

} // namespace Ipc
} // namespace tovu
