#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

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

// The console's words for the fields it sends, so that a refusal names a field as its form does;
// the device API's fields keep their keys.
inline std::string fieldLabel(std::string_view key) {
    static const std::map<std::string_view, const char*> labels{
        {"name", "Tên"},
        {"password", "Mật khẩu"},
        {"current", "Mật khẩu hiện tại"},
        {"setupToken", "Mã thiết lập"},
        {"familyName", "Tên gia đình"},
        {"parentName", "Tên của bạn"},
        {"timeZone", "Múi giờ của gia đình"},
        {"minutes", "Số phút"},
        {"delta", "Số điểm"},
        {"until", "Giờ thức thêm"},
        {"pointsPerMinute", "Số điểm cho mỗi phút"},
        {"exchangeCapMinutes", "Đổi tối đa mỗi ngày"},
        {"canExchangePoints", "Cho con đổi điểm lấy thời gian"},
        {"unlock", "Mở khoá"},
        {"sameName", "Trùng tên"}};
    const auto it = labels.find(key);
    return it != labels.end() ? it->second : std::string(key);
}

} // namespace tovu::server
