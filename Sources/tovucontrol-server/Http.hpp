#pragma once

#include "TovuProtocol/Contract.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What the device API and the console share: requests, answers and reading their bodies.
namespace tovu::server::Http {

struct Request {
    std::string method;
    std::string path;                                         // without the query
    std::string query;                                        // after "?", as sent
    std::vector<std::pair<std::string, std::string>> headers; // names in lower case
    std::string body;
    std::string remoteAddress;
    std::vector<std::string> matches; // of the route's pattern: [0] the path, [1] the first group

    // The header's value; empty when it is missing.
    std::string header(std::string_view lowerCaseName) const;
    // A parameter of the query, as sent (no percent-decoding); absent when missing.
    std::optional<std::string> param(std::string_view name) const;
};

// An answer that goes out in pieces after its head: a wait or an event stream. Safe from any
// thread; writes keep their order.
class Stream {
public:
    virtual ~Stream() = default;
    // More of the answer; dropped once the client is gone or the answer ended.
    virtual void write(std::string text) = 0;
    // The answer is complete; the connection goes on with the client's next request.
    virtual void end() = 0;
    // The client closed the connection, or it failed.
    virtual bool gone() const = 0;
};

struct Response {
    int status = 200;
    std::string contentType = "application/json; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers{};
    // When set, the head goes out at once and this is given the stream for the rest.
    std::function<void(std::shared_ptr<Stream>)> streamTo{};
};

Response reply(int status, const nlohmann::json& body);
Response message(int status, const std::string& text);

// The body as a JSON object; throws BadInput when it is not one.
nlohmann::json body(const Request& req);
// A text field as Contract::tidy leaves it; throws BadInput when it is missing (if required),
// not a text, empty (if required) or beyond limit. Absent when empty and not required.
std::optional<std::string> text(const nlohmann::json& o, const char* key,
                                const Contract::TextLimit& limit, bool required = true);
// Tokens, codes and words of a vocabulary.
inline constexpr Contract::TextLimit word{64, 64};
// An optional true/false field; absent is false. Throws BadInput when it is something else.
bool flag(const nlohmann::json& o, const char* key);
// An integer field within range; throws BadInput otherwise.
std::int64_t integer(const nlohmann::json& o, const char* key, const Contract::Range& range);

// A query parameter's value with its %XX and + read.
std::string decoded(std::string_view text);

// One line on standard error: "[2026-12-07T10:15:00Z] message".
void log(const std::string& message);

} // namespace tovu::server::Http
