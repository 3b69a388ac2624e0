#include "Ipc.hpp"

#include "IpcSocket.hpp"
#include "TovuProtocol/Json.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>

namespace tovu {

void to_json(nlohmann::json& j, const IpcRequest& v) {
    j = nlohmann::json::object();
    j["op"] = v.op;
    Json::field::put(j, "entries", v.entries);
    Json::field::put(j, "kind", v.kind);
    Json::field::put(j, "minutes", v.minutes);
    Json::field::put(j, "appId", v.appId);
    Json::field::put(j, "appName", v.appName);
    Json::field::put(j, "note", v.note);
    Json::field::put(j, "id", v.id);
    Json::field::put(j, "apps", v.apps);
    Json::field::put(j, "display", v.display);
    Json::field::put(j, "pid", v.pid);
}

void from_json(const nlohmann::json& j, IpcRequest& v) {
    using namespace Json::field;
    v.op = text(j, "op");
    v.entries = optList<UsageEntry>(j, "entries");
    v.kind = optText(j, "kind");
    v.minutes = optInteger(j, "minutes");
    v.appId = optText(j, "appId");
    v.appName = optText(j, "appName");
    v.note = optText(j, "note");
    v.id = optText(j, "id");
    v.apps = optTextMaps(j, "apps");
    v.display = optText(j, "display");
    v.pid = optInteger(j, "pid");
}

void to_json(nlohmann::json& j, const EndedApp& v) {
    j = {{"appId", v.appId}, {"appName", v.appName}, {"reason", v.reason}, {"at", v.at}};
}

void from_json(const nlohmann::json& j, EndedApp& v) {
    using namespace Json::field;
    v.appId = text(j, "appId");
    v.appName = text(j, "appName");
    v.reason = text(j, "reason");
    v.at = text(j, "at");
}

void to_json(nlohmann::json& j, const IpcResponse& v) {
    j = nlohmann::json::object();
    j["ok"] = v.ok;
    Json::field::put(j, "error", v.error);
    Json::field::put(j, "policy", v.policy);
    Json::field::put(j, "entries", v.entries);
    Json::field::put(j, "result", v.result);
    Json::field::put(j, "state", v.state);
    Json::field::put(j, "online", v.online);
    Json::field::put(j, "ended", v.ended);
}

void from_json(const nlohmann::json& j, IpcResponse& v) {
    using namespace Json::field;
    v.ok = flag(j, "ok");
    v.error = optText(j, "error");
    v.policy = optRecord<Policy>(j, "policy");
    v.entries = optList<UsageEntry>(j, "entries");
    v.result = optRecord<RequestResult>(j, "result");
    v.state = optRecord<RequestState>(j, "state");
    v.online = optFlag(j, "online");
    v.ended = optRecord<EndedApp>(j, "ended");
}

IpcResponse IpcResponse::failure(std::string error) {
    IpcResponse response;
    response.error = std::move(error);
    return response;
}

namespace Ipc {
namespace detail {

sockaddr_un socketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), std::min(path.size(), maxPathBytes));
    return address;
}

std::size_t sendBytes(int fd, std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

ReadStep readBlock(int fd, std::string& buffer) {
    if (buffer.size() > 999'999) return ReadStep::done;
    char block[4096];
    ssize_t n;
    do
        n = ::read(fd, block, sizeof block);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadStep::wouldBlock;
    if (n <= 0) return ReadStep::done;
    buffer.append(block, static_cast<std::size_t>(n));
    return block[n - 1] == '\n' ? ReadStep::done : ReadStep::more;
}

} // namespace detail

namespace {

template <class Message> void writeMessage(int fd, const Message& message) {
    detail::sendBytes(fd, Json::encode(message) + "\n");
}

} // namespace

void guiDong(int fd, const IpcRequest& message) {
    writeMessage(fd, message);
}
void guiDong(int fd, const IpcResponse& message) {
    writeMessage(fd, message);
}

std::optional<std::string> docDong(int fd) {
    std::string buffer;
    while (detail::readBlock(fd, buffer) == detail::ReadStep::more) {
    }
    if (buffer.empty()) return std::nullopt;
    return buffer;
}

IpcResponse call(const IpcRequest& request, const std::string& path) {
    if (path.size() > detail::maxPathBytes) return IpcResponse::failure("Đường socket quá dài");
    detail::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return IpcResponse::failure("socket");
    timeval timeout{};
    timeout.tv_sec = 25;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_un address = detail::socketAddress(path);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return IpcResponse::failure("Dịch vụ TovuControl không chạy");
    guiDong(fd.get(), request);
    if (auto line = docDong(fd.get()))
        if (auto response = Json::tryDecode<IpcResponse>(*line)) return *response;
    return IpcResponse::failure("Dịch vụ không trả lời");
}

} // namespace Ipc
} // namespace tovu
