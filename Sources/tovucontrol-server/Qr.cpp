#include "Qr.hpp"

#include "Errors.hpp"

#include <memory>
#include <qrencode.h>

namespace tovu::server::Qr {
namespace {

constexpr std::size_t maxText = 512;
constexpr int quietZone = 4;

struct Free {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

} // namespace

std::string svg(std::string_view text) {
    if (text.empty() || text.size() > maxText) throw BadInput("Nội dung mã QR quá dài.");
    const std::string data(text);
    const std::unique_ptr<QRcode, Free> code(
        QRcode_encodeString8bit(data.c_str(), 0, QR_ECLEVEL_M));
    if (!code) throw BadInput("Không tạo được mã QR cho nội dung này.");
    const int width = code->width;
    const auto size = std::to_string(width + 2 * quietZone);
    // One path of unit squares, row by row: small, and crisp at any size.
    std::string path;
    for (int y = 0; y < width; ++y)
        for (int x = 0; x < width; ++x)
            if (code->data[y * width + x] & 1)
                path += "M" + std::to_string(x + quietZone) + " " + std::to_string(y + quietZone) +
                        "h1v1h-1z";
    return R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 )" + size + " " + size +
           R"(" shape-rendering="crispEdges"><rect width="100%" height="100%" fill="#fff"/>)" +
           R"(<path fill="#000" d=")" + path + R"("/></svg>)";
}

} // namespace tovu::server::Qr
