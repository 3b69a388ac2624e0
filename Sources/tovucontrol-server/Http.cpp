#include "Http.hpp"

#include "Errors.hpp"
#include "TovuProtocol/Iso.hpp"
#include "TovuProtocol/Json.hpp"

#include <cstdio>

namespace tovu::server::Http {

using nlohmann::json;

std::string Request::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (key == name) return value;
    return {};
}

std::optional<std::string> Request::param(std::string_view name) const {
    for (std::size_t at = 0; at <= query.size();) {
        auto end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        const std::string_view part = std::string_view(query).substr(at, end - at);
        if (part.starts_with(name) && part.size() > name.size() && part[name.size()] == '=')
            return std::string(part.substr(name.size() + 1));
        at = end + 1;
    }
    return std::nullopt;
}

Response reply(int status, const nlohmann::json& body) {
    return {.status = status, .body = Json::encode(body)};
}

Response message(int status, const std::string& text) {
    return reply(status, {{"message", text}});
}

nlohmann::json body(const Request& req) {
    try {
        auto j = Json::parse(req.body);
        if (j.is_object()) return j;
    } catch (const DecodeError&) {
        // Answered below, as any body of the wrong shape.
    }
    throw BadInput("Dữ liệu gửi lên không đúng.");
}

std::optional<std::string> text(const json& o, const char* key, const Contract::TextLimit& limit,
                                bool required) {
    const auto it = o.find(key);
    if (it == o.end() || it->is_null()) {
        if (required) throw BadInput(fieldLabel(key) + ": chưa điền.");
        return std::nullopt;
    }
    if (!it->is_string()) throw BadInput(fieldLabel(key) + ": phải là chữ.");
    auto s = Contract::tidy(it->get_ref<const std::string&>());
    if (!Contract::fits(s, limit))
        throw BadInput(fieldLabel(key) + ": quá dài (tối đa " + std::to_string(limit.chars) +
                       " ký tự).");
    if (s.empty()) {
        if (required) throw BadInput(fieldLabel(key) + ": chưa điền.");
        return std::nullopt;
    }
    return s;
}

bool flag(const json& o, const char* key) {
    const auto it = o.find(key);
    if (it == o.end() || it->is_null()) return false;
    if (!it->is_boolean()) throw BadInput(fieldLabel(key) + ": phải là đúng hoặc sai.");
    return it->get<bool>();
}

std::int64_t integer(const json& o, const char* key, const Contract::Range& range) {
    const auto it = o.find(key);
    try {
        // Unsigned values past the signed range are refused there, never wrapped.
        if (it != o.end())
            if (const auto v = Json::field::asInteger(*it, key); range.contains(v)) return v;
    } catch (const DecodeError&) {
        // Answered below.
    }
    throw BadInput(fieldLabel(key) + ": hãy nhập số nguyên từ " + std::to_string(range.min) +
                   " đến " + std::to_string(range.max) + ".");
}

std::string decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto hex = [&](std::size_t at) {
            const char c = text[at];
            return c >= '0' && c <= '9'   ? c - '0'
                   : c >= 'a' && c <= 'f' ? c - 'a' + 10
                   : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                          : -1;
        };
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hex(i + 1) >= 0 && hex(i + 2) >= 0) {
            out += static_cast<char>(hex(i + 1) * 16 + hex(i + 2));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

void log(const std::string& message) {
    const auto line = "[" + Iso::format(std::chrono::system_clock::now()) + "] " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace tovu::server::Http
