#pragma once

#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Json.hpp"
#include "TovuProtocol/Models.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tovu {

// A bad server address, or an answer outside 2xx. status: the HTTP status (0 when the answer
// was not HTTP); absent for errors raised before anything was sent.
class ApiError : public std::exception {
public:
    ApiError(std::optional<int> status, std::string message);

    const std::optional<int>& status() const { return status_; }
    const std::string& message() const { return message_; }
    // 401 or 403: the device was removed or its token is wrong.
    bool unauthorized() const;
    // "404: Mã ghép không đúng", or the message alone without a status.
    std::string description() const;
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::optional<int> status_;
    std::string message_;
    std::string description_;
};

// The request never got an HTTP answer (refused, name resolution, TLS, 20 s without any data
// moving); what() is curl's own text, or names the time-out.
class TransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Client of the parents' server. Immutable; safe to use from any thread. Calls block.
class ApiClient {
public:
    ApiClient(std::string_view server, std::optional<std::string> token);

    // Trims, adds "https://" when no scheme is given, removes trailing slashes.
    static std::string normalize(std::string_view server);

    // Whether a redirect from one address to the other stays with the same server, so that the
    // device token may go along: same host and port, or the move from http to https. The token
    // never goes to another host or port, nor back to plain http.
    static bool sameServer(const std::string& from, const std::string& to);

    const std::string& server() const { return server_; }
    const std::optional<std::string>& token() const { return token_; }

    // One request, following up to five redirects to http or https addresses; returns the
    // decoded 2xx body. Throws ApiError, TransportError or DecodeError (a 2xx body that is
    // not a T).
    // inactivity: without a byte moving for this long, the call gives up.
    template <class T>
    T send(std::string_view method, std::string_view path,
           const std::optional<nlohmann::json>& body = std::nullopt,
           std::chrono::seconds inactivity = inactivityLimit) const {
        return Json::decode<T>(sendRaw(method, path, body, inactivity, nullptr));
    }

    static constexpr std::chrono::seconds inactivityLimit{20};

    PairResult pair(const std::string& code, const std::string& deviceName,
                    const std::string& osVersion) const;
    // revision: the one of the policy the computer applied last (from an earlier answer).
    SyncAnswer syncAnswer(const nlohmann::json& status, const std::vector<UsageEntry>& usage,
                          const std::vector<std::map<std::string, std::string>>& apps,
                          std::optional<std::int64_t> revision) const;
    RequestResult request(const std::string& kind, std::int64_t minutes,
                          const std::optional<std::string>& appId,
                          const std::optional<std::string>& appName,
                          const std::optional<std::string>& note) const;
    RequestState requestState(const std::string& id) const;
    // Holds a request on the server until the child's rules move past revision (the one of
    // the policy the computer applied), or Contract::longestWait has passed. Gives up within
    // about a second of cancelled turning true (a TransportError).
    WakeUp wait(std::int64_t revision, const std::atomic<bool>* cancelled = nullptr) const;

private:
    // Performs the exchange and returns the body of a 2xx answer.
    std::string sendRaw(std::string_view method, std::string_view path,
                        const std::optional<nlohmann::json>& body, std::chrono::seconds inactivity,
                        const std::atomic<bool>* cancelled) const;

    std::string server_;
    std::optional<std::string> token_;
};

} // namespace tovu
