#include "Console.hpp"

#include "Engine.hpp"
#include "Security.hpp"
#include "WebFiles.hpp"
#include "Zone.hpp"

#include <map>
#include <tuple>

namespace tovu::server {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* cookieName = "tovu_session";

std::string cookieToken(const Http::Request& req) {
    const auto header = req.header("cookie");
    const std::string key = std::string(cookieName) + "=";
    for (std::size_t at = 0; at < header.size();) {
        auto end = header.find(';', at);
        if (end == std::string::npos) end = header.size();
        auto part = header.substr(at, end - at);
        part.erase(0, part.find_first_not_of(' '));
        if (part.starts_with(key)) {
            auto value = part.substr(key.size());
            const bool wellFormed =
                value.size() == 64 &&
                value.find_first_not_of("0123456789abcdef") == std::string::npos;
            return wellFormed ? value : std::string();
        }
        at = end + 1;
    }
    return {};
}

std::string password(const json& b) {
    auto p = *Http::text(b, "password", Contract::Text::password);
    if (Contract::characters(p) < Contract::Text::minPasswordChars)
        throw BadInput("Mật khẩu cần ít nhất " + std::to_string(Contract::Text::minPasswordChars) +
                       " ký tự.");
    return p;
}

const char* contentType(std::string_view name) {
    static const std::map<std::string_view, const char*> types{
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".json", "application/json"}};
    const auto dot = name.rfind('.');
    if (dot != std::string_view::npos)
        if (const auto it = types.find(name.substr(dot)); it != types.end()) return it->second;
    return "application/octet-stream";
}

} // namespace

Console::Console(Store& store, Hub& hub, bool secure)
    : store_(store)
    , hub_(hub)
    , secure_(secure) {}

Console::Session Console::sessionOf(const Http::Request& req) {
    Session s{cookieToken(req), std::nullopt};
    if (!s.token.empty()) s.parent = store_.session(s.token);
    return s;
}

bool Console::csrfHolds(const Http::Request& req, const Session& s) const {
    return !s.token.empty() &&
           Security::sameSecret(req.header("x-csrf-token"), Security::csrfFor(s.token));
}

json Console::sessionJson(const Session& s) {
    json out{{"setupNeeded", store_.setupNeeded()},
             {"loggedIn", s.parent.has_value()},
             {"csrf", Security::csrfFor(s.token)}};
    if (s.parent) {
        out["parent"] = {{"id", s.parent->id}, {"name", s.parent->name}};
        out["family"] = store_.family(*s.parent);
    }
    return out;
}

void Console::setCookie(Http::Response& res, const std::string& token, bool persistent) const {
    std::string cookie =
        std::string(cookieName) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict";
    if (persistent) cookie += "; Max-Age=2592000";
    if (token.empty()) cookie += "; Max-Age=0";
    if (secure_) cookie += "; Secure";
    res.headers.emplace_back("Set-Cookie", cookie);
}

Http::Response Console::loggedIn(const Parent& parent) {
    // A fresh cookie at login, so that a cookie planted before it is worth nothing after.
    const Session s{store_.openSession(parent), parent};
    auto res = Http::reply(200, sessionJson(s));
    setCookie(res, s.token, true);
    return res;
}

HttpServer::Handler Console::parentCall(Action action, bool mutating) {
    return [this, action = std::move(action), mutating](const Http::Request& req) {
        const auto s = sessionOf(req);
        if (mutating && !csrfHolds(req, s)) return expired();
        if (!s.parent) return Http::message(401, "Hãy đăng nhập lại.");
        return Http::reply(200, action(*s.parent, req));
    };
}

Http::Response Console::expired() {
    return Http::message(403, "Phiên đã hết hạn, hãy tải lại trang.");
}

Http::Response Console::events(const Parent& parent) {
    auto seat = hub_.seat(parent.familyId, parent.id);
    if (!seat) return Http::message(503, "Có quá nhiều trang đang mở, hãy đóng bớt.");
    const auto last = store_.lastEvent(parent.familyId);
    Http::Response res;
    res.contentType = "text/event-stream";
    res.streamTo = [this, seat = std::move(seat), last](std::shared_ptr<Http::Stream> stream) {
        hub_.watch(seat, last, std::move(stream));
    };
    return res;
}

void Console::addRoutes(HttpServer& server) {
    const std::string api = "/api/console/";
    const std::string child = api + "children/([^/]+)/";

    server.route("GET", api + "session", [this](const Http::Request& req) {
        auto s = sessionOf(req);
        const bool fresh = s.token.empty();
        if (fresh) s.token = Security::newToken();
        auto res = Http::reply(200, sessionJson(s));
        if (fresh) setCookie(res, s.token, false);
        return res;
    });

    server.route(
        "POST", api + "setup",
        [this](const Http::Request& req) {
            if (!csrfHolds(req, sessionOf(req))) return expired();
            const auto b = Http::body(req);
            const auto timeZone = *Http::text(b, "timeZone", Http::word);
            if (!Zone::valid(timeZone)) throw BadInput("Múi giờ không đúng.");
            return loggedIn(store_.setup(*Http::text(b, "setupToken", Http::word),
                                         *Http::text(b, "familyName", Contract::Text::name),
                                         *Http::text(b, "parentName", Contract::Text::name),
                                         password(b), timeZone));
        },
        true);

    server.route(
        "POST", api + "login",
        [this](const Http::Request& req) {
            if (!csrfHolds(req, sessionOf(req))) return expired();
            const auto b = Http::body(req);
            return loggedIn(store_.login(*Http::text(b, "name", Contract::Text::name),
                                         *Http::text(b, "password", Contract::Text::password),
                                         req.remoteAddress));
        },
        true);

    server.route("POST", api + "logout", [this](const Http::Request& req) {
        const auto s = sessionOf(req);
        if (!csrfHolds(req, s)) return expired();
        store_.closeSession(s.token);
        auto res = Http::reply(200, json::object());
        setCookie(res, "", false);
        return res;
    });

    server.route(
        "GET", api + "family",
        parentCall([this](const Parent& p, const Http::Request&) { return store_.familyView(p); },
                   false));
    server.route("POST", api + "parents",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         const auto b = Http::body(req);
                         return store_.addParent(p, *Http::text(b, "name", Contract::Text::name),
                                                 password(b));
                     },
                     true),
                 true);
    server.route("POST", api + "children",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         return store_.addChild(
                             p, *Http::text(Http::body(req), "name", Contract::Text::name));
                     },
                     true));
    server.route("PUT", child + "rules",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         return store_.setRules(p, req.matches[1],
                                                Http::body(req).get<ChildRules>());
                     },
                     true));
    for (const bool lock : {true, false})
        server.route("POST", child + (lock ? "lock" : "unlock"),
                     parentCall(
                         [this, lock](const Parent& p, const Http::Request& req) {
                             return store_.setLock(p, req.matches[1], lock);
                         },
                         true));
    server.route("POST", child + "grant",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         const auto b = Http::body(req);
                         return store_.grant(p, req.matches[1],
                                             Http::integer(b, "minutes", Contract::Number::minutes),
                                             Http::flag(b, "unlock"));
                     },
                     true));
    server.route("POST", child + "points",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         return store_.addPoints(p, req.matches[1],
                                                 Http::integer(Http::body(req), "delta",
                                                               Contract::Number::pointsDelta));
                     },
                     true));
    // The child's views, and a new pairing code for the child.
    using View = json (Store::*)(const Parent&, const std::string&);
    const std::tuple<const char*, View, bool> views[] = {
        {"today", &Store::today, false},
        {"week", &Store::week, false},
        {"apps", &Store::apps, false},
        {"pairing-code", &Store::pairingCode, true}};
    for (const auto& [name, view, mutating] : views)
        server.route(mutating ? "POST" : "GET", child + name,
                     parentCall(
                         [this, view](const Parent& p, const Http::Request& req) {
                             return (store_.*view)(p, req.matches[1]);
                         },
                         mutating));
    server.route("DELETE", api + "devices/([^/]+)",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         store_.removeDevice(p, req.matches[1]);
                         return json::object();
                     },
                     true));
    server.route(
        "GET", api + "requests",
        parentCall([this](const Parent& p, const Http::Request&) { return store_.requests(p); },
                   false));
    server.route(
        "POST", api + "requests/([^/]+)/answer",
        parentCall(
            [this](const Parent& p, const Http::Request& req) {
                const auto b = Http::body(req);
                const auto answer = *Http::text(b, "answer", Http::word);
                if (answer != Contract::Status::granted && answer != Contract::Status::refused)
                    throw BadInput("Câu trả lời phải là được hoặc từ chối.");
                std::optional<std::int64_t> minutes;
                if (b.contains("minutes") && !b["minutes"].is_null())
                    minutes = Http::integer(b, "minutes", Contract::Number::minutes);
                return store_.answer(p, req.matches[1], answer == Contract::Status::granted,
                                     minutes, Http::flag(b, "unlock"));
            },
            true));
    server.route("GET", api + "events", [this](const Http::Request& req) {
        const auto s = sessionOf(req);
        if (!s.parent) return Http::message(401, "Hãy đăng nhập lại.");
        return events(*s.parent);
    });

    server.route("GET", "/([A-Za-z0-9_.-]*)", [](const Http::Request& req) {
        std::string name = req.matches[1];
        if (name.empty()) name = "index.html";
        const auto& files = webFiles();
        const auto it = files.find(name);
        if (it == files.end()) return Http::message(404, "Không có trang này.");
        return Http::Response{.contentType = contentType(name), .body = std::string(it->second)};
    });
}

} // namespace tovu::server
