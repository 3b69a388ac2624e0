#pragma once

#include <stdexcept>
#include <string>

namespace tovu::server {

// What was sent cannot be used; the message, in Vietnamese, is answered with 400.
class BadInput : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Something the caller asked for that does not exist or cannot be done now; status is the
// HTTP status to answer with, message the Vietnamese text. confirm: the flag that, set in the
// request, says the parent means it (409 only).
class Refusal : public std::runtime_error {
public:
    Refusal(int status, const std::string& message, std::string confirm = {})
        : std::runtime_error(message)
        , status(status)
        , confirm(std::move(confirm)) {}
    int status;
    std::string confirm;
};

} // namespace tovu::server
