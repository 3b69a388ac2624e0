#pragma once

#include "TovuProtocol/Clock.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace tovu::Iso {

// Reads the server's internet date-time stamps: "2025-03-01T18:30:00Z",
// "2025-03-01T18:30:00.250+07:00". The zone designator (Z or ±hh:mm) is required;
// anything else gives absent.
std::optional<Time> parse(std::string_view text);

// The same form in UTC to the second, as a server writes it: "2026-12-07T10:15:00Z".
std::string format(Time t);

} // namespace tovu::Iso
