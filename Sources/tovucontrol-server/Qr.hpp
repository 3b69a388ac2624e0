#pragma once

#include <string>
#include <string_view>

namespace tovu::server::Qr {

// The QR code of `text` as an SVG image, black on white with the quiet zone around it, through
// libqrencode. Throws BadInput when the text is too long for a code a phone reads well.
std::string svg(std::string_view text);

} // namespace tovu::server::Qr
