#pragma once

#include "Store.hpp"
#include "TovuProtocol/Contract.hpp"

#include <functional>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

// What the device API and the console share: answers, bodies and the handler guard.
namespace tovu::server::Http {

void sendJson(httplib::Response& res, int status, const nlohmann::json& body);
void sendMessage(httplib::Response& res, int status, const std::string& message);

// The body as a JSON object; throws BadInput when it is not one.
nlohmann::json body(const httplib::Request& req);
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

using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
// Turns BadInput, Refusal and malformed JSON into their answers, and a storage failure into
// a logged 500.
httplib::Server::Handler guard(Handler handler);

// One line on standard error: "[2026-12-07T10:15:00Z] message".
void log(const std::string& message);

} // namespace tovu::server::Http
