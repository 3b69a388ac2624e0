#include "Http.hpp"

#include "TovuProtocol/Iso.hpp"
#include "TovuProtocol/Json.hpp"

#include <cstdio>

namespace tovu::server::Http {

using nlohmann::json;

void sendJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(Json::encode(body), "application/json; charset=utf-8");
}

void sendMessage(httplib::Response& res, int status, const std::string& message) {
    sendJson(res, status, {{"message", message}});
}

json body(const httplib::Request& req) {
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
        if (required) throw BadInput(std::string("Thiếu ") + key + ".");
        return std::nullopt;
    }
    if (!it->is_string()) throw BadInput(std::string("Giá trị ") + key + " phải là chữ.");
    auto s = Contract::tidy(it->get_ref<const std::string&>());
    if (!Contract::fits(s, limit))
        throw BadInput(std::string("Giá trị ") + key + " quá dài (tối đa " +
                       std::to_string(limit.chars) + " ký tự).");
    if (s.empty()) {
        if (required) throw BadInput(std::string("Thiếu ") + key + ".");
        return std::nullopt;
    }
    return s;
}

bool flag(const json& o, const char* key) {
    const auto it = o.find(key);
    if (it == o.end() || it->is_null()) return false;
    if (!it->is_boolean())
        throw BadInput(std::string("Giá trị ") + key + " phải là đúng hoặc sai.");
    return it->get<bool>();
}

std::int64_t integer(const json& o, const char* key, const Contract::Range& range) {
    const auto it = o.find(key);
    if (it == o.end() || !it->is_number_integer() || !range.contains(it->get<std::int64_t>()))
        throw BadInput(std::string("Giá trị ") + key + " phải là số nguyên từ " +
                       std::to_string(range.min) + " đến " + std::to_string(range.max) + ".");
    return it->get<std::int64_t>();
}

httplib::Server::Handler guard(Handler handler) {
    return [handler = std::move(handler)](const httplib::Request& req, httplib::Response& res) {
        try {
            handler(req, res);
        } catch (const BadInput& e) {
            sendMessage(res, 400, e.what());
        } catch (const Refusal& e) {
            json answer{{"message", e.what()}};
            if (!e.confirm.empty()) answer["confirm"] = e.confirm;
            sendJson(res, e.status, answer);
        } catch (const DecodeError&) {
            sendMessage(res, 400, "Dữ liệu gửi lên không đúng.");
        } catch (const DatabaseError& e) {
            log(std::string("Lỗi cơ sở dữ liệu: ") + e.what());
            sendMessage(res, 500, "Máy chủ đang gặp lỗi, hãy thử lại sau.");
        }
    };
}

void log(const std::string& message) {
    const auto line = "[" + Iso::format(std::chrono::system_clock::now()) + "] " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace tovu::server::Http
