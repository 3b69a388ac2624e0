#include "Console.hpp"

#include "Engine.hpp"
#include "Http.hpp"
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
constexpr int maxStreams = 16;

std::string cookieToken(const httplib::Request& req) {
    const auto header = req.get_header_value("Cookie");
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

Console::Console(Store& store, bool secure)
    : store_(store)
    , secure_(secure) {}

Console::Session Console::sessionOf(const httplib::Request& req) {
    Session s{cookieToken(req), std::nullopt};
    if (!s.token.empty()) s.parent = store_.session(s.token);
    return s;
}

bool Console::csrfHolds(const httplib::Request& req, const Session& s) const {
    return !s.token.empty() &&
           Security::sameSecret(req.get_header_value("X-CSRF-Token"), Security::csrfFor(s.token));
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

void Console::setCookie(httplib::Response& res, const std::string& token, bool persistent) const {
    std::string cookie =
        std::string(cookieName) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict";
    if (persistent) cookie += "; Max-Age=2592000";
    if (token.empty()) cookie += "; Max-Age=0";
    if (secure_) cookie += "; Secure";
    res.set_header("Set-Cookie", cookie);
}

void Console::loggedIn(httplib::Response& res, const Parent& parent) {
    // A fresh cookie at login, so that a cookie planted before it is worth nothing after.
    const Session s{store_.openSession(parent), parent};
    setCookie(res, s.token, true);
    Http::sendJson(res, 200, sessionJson(s));
}

httplib::Server::Handler Console::parentCall(Action action, bool mutating) {
    return Http::guard([this, action = std::move(action), mutating](const httplib::Request& req,
                                                                    httplib::Response& res) {
        const auto s = sessionOf(req);
        if (mutating && !csrfHolds(req, s))
            return Http::sendMessage(res, 403, "Phiên đã hết hạn, hãy tải lại trang.");
        if (!s.parent) return Http::sendMessage(res, 401, "Hãy đăng nhập lại.");
        Http::sendJson(res, 200, action(*s.parent, req));
    });
}

void Console::streamEvents(const Parent& parent, httplib::Response& res) {
    if (++streams_ > maxStreams) {
        --streams_;
        return Http::sendMessage(res, 503, "Có quá nhiều trang đang mở, hãy đóng bớt.");
    }
    struct Stream {
        std::string familyId;
        std::int64_t last = 0;
        std::chrono::steady_clock::time_point pinged{};
    };
    auto stream =
        std::make_shared<Stream>(Stream{parent.familyId, store_.lastEvent(parent.familyId)});
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, stream](std::size_t, httplib::DataSink& sink) {
            if (stopping_) return false;
            std::string out;
            try {
                for (const auto& e : store_.eventsAfter(stream->familyId, stream->last)) {
                    stream->last = e.id;
                    out += "event: " + e.kind + "\ndata: " + e.data + "\n\n";
                }
            } catch (const DatabaseError& e) {
                Http::log(std::string("Lỗi cơ sở dữ liệu: ") + e.what());
                return false; // the browser opens the stream again
            }
            const auto now = std::chrono::steady_clock::now();
            if (out.empty() && now - stream->pinged >= 15s) out = ": ping\n\n";
            if (!out.empty()) {
                stream->pinged = now;
                return sink.write(out.data(), out.size());
            }
            // Other server processes write events too, so the table is what is watched.
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, 1s, [&] { return stopping_.load(); });
            return !stopping_;
        },
        [this](bool) { --streams_; });
}

void Console::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

void Console::addRoutes(httplib::Server& server) {
    const std::string api = "/api/console/";
    const std::string child = api + "children/([^/]+)/";

    server.Get(api + "session",
               Http::guard([this](const httplib::Request& req, httplib::Response& res) {
                   auto s = sessionOf(req);
                   if (s.token.empty()) {
                       s.token = Security::newToken();
                       setCookie(res, s.token, false);
                   }
                   Http::sendJson(res, 200, sessionJson(s));
               }));

    server.Post(api + "setup",
                Http::guard([this](const httplib::Request& req, httplib::Response& res) {
                    if (!csrfHolds(req, sessionOf(req)))
                        return Http::sendMessage(res, 403, "Phiên đã hết hạn, hãy tải lại trang.");
                    const auto b = Http::body(req);
                    const auto timeZone = *Http::text(b, "timeZone", Http::word);
                    if (!Zone::valid(timeZone)) throw BadInput("Múi giờ không đúng.");
                    loggedIn(res, store_.setup(*Http::text(b, "setupToken", Http::word),
                                               *Http::text(b, "familyName", Contract::Text::name),
                                               *Http::text(b, "parentName", Contract::Text::name),
                                               password(b), timeZone));
                }));

    server.Post(api + "login",
                Http::guard([this](const httplib::Request& req, httplib::Response& res) {
                    if (!csrfHolds(req, sessionOf(req)))
                        return Http::sendMessage(res, 403, "Phiên đã hết hạn, hãy tải lại trang.");
                    const auto b = Http::body(req);
                    loggedIn(res, store_.login(*Http::text(b, "name", Contract::Text::name),
                                               *Http::text(b, "password", Contract::Text::password),
                                               req.remote_addr));
                }));

    server.Post(api + "logout",
                Http::guard([this](const httplib::Request& req, httplib::Response& res) {
                    const auto s = sessionOf(req);
                    if (!csrfHolds(req, s))
                        return Http::sendMessage(res, 403, "Phiên đã hết hạn, hãy tải lại trang.");
                    store_.closeSession(s.token);
                    setCookie(res, "", false);
                    Http::sendJson(res, 200, json::object());
                }));

    server.Get(api + "family",
               parentCall([this](const Parent& p,
                                 const httplib::Request&) { return store_.familyView(p); },
                          false));
    server.Post(api + "parents",
                parentCall(
                    [this](const Parent& p, const httplib::Request& req) {
                        const auto b = Http::body(req);
                        return store_.addParent(p, *Http::text(b, "name", Contract::Text::name),
                                                password(b));
                    },
                    true));
    server.Post(api + "children",
                parentCall(
                    [this](const Parent& p, const httplib::Request& req) {
                        return store_.addChild(
                            p, *Http::text(Http::body(req), "name", Contract::Text::name));
                    },
                    true));
    server.Put(child + "rules", parentCall(
                                    [this](const Parent& p, const httplib::Request& req) {
                                        return store_.setRules(p, req.matches[1],
                                                               Http::body(req).get<ChildRules>());
                                    },
                                    true));
    for (const bool lock : {true, false})
        server.Post(child + (lock ? "lock" : "unlock"),
                    parentCall(
                        [this, lock](const Parent& p, const httplib::Request& req) {
                            return store_.setLock(p, req.matches[1], lock);
                        },
                        true));
    server.Post(child + "grant",
                parentCall(
                    [this](const Parent& p, const httplib::Request& req) {
                        const auto b = Http::body(req);
                        return store_.grant(p, req.matches[1],
                                            Http::integer(b, "minutes", Contract::Number::minutes),
                                            Http::flag(b, "unlock"));
                    },
                    true));
    server.Post(child + "points",
                parentCall(
                    [this](const Parent& p, const httplib::Request& req) {
                        return store_.addPoints(
                            p, req.matches[1],
                            Http::integer(Http::body(req), "delta", Contract::Number::pointsDelta));
                    },
                    true));
    // The child's views, and a new pairing code for the child.
    using View = json (Store::*)(const Parent&, const std::string&);
    const std::tuple<const char*, View, bool> views[] = {
        {"today", &Store::today, false},
        {"week", &Store::week, false},
        {"apps", &Store::apps, false},
        {"pairing-code", &Store::pairingCode, true}};
    for (const auto& [name, view, mutating] : views) {
        auto call = parentCall(
            [this, view](const Parent& p, const httplib::Request& req) {
                return (store_.*view)(p, req.matches[1]);
            },
            mutating);
        if (mutating)
            server.Post(child + name, std::move(call));
        else
            server.Get(child + name, std::move(call));
    }
    server.Delete(api + "devices/([^/]+)",
                  parentCall(
                      [this](const Parent& p, const httplib::Request& req) {
                          store_.removeDevice(p, req.matches[1]);
                          return json::object();
                      },
                      true));
    server.Get(
        api + "requests",
        parentCall([this](const Parent& p, const httplib::Request&) { return store_.requests(p); },
                   false));
    server.Post(api + "requests/([^/]+)/answer",
                parentCall(
                    [this](const Parent& p, const httplib::Request& req) {
                        const auto b = Http::body(req);
                        const auto answer = *Http::text(b, "answer", Http::word);
                        if (answer != Contract::Status::granted &&
                            answer != Contract::Status::refused)
                            throw BadInput("Câu trả lời phải là được hoặc từ chối.");
                        std::optional<std::int64_t> minutes;
                        if (b.contains("minutes") && !b["minutes"].is_null())
                            minutes = Http::integer(b, "minutes", Contract::Number::minutes);
                        return store_.answer(p, req.matches[1], answer == Contract::Status::granted,
                                             minutes, Http::flag(b, "unlock"));
                    },
                    true));
    server.Get(api + "events",
               Http::guard([this](const httplib::Request& req, httplib::Response& res) {
                   const auto s = sessionOf(req);
                   if (!s.parent) return Http::sendMessage(res, 401, "Hãy đăng nhập lại.");
                   streamEvents(*s.parent, res);
               }));

    server.Get(R"(/([A-Za-z0-9_.-]*))", [](const httplib::Request& req, httplib::Response& res) {
        std::string name = req.matches[1];
        if (name.empty()) name = "index.html";
        const auto& files = webFiles();
        const auto it = files.find(name);
        if (it == files.end()) return Http::sendMessage(res, 404, "Không có trang này.");
        res.set_content(std::string(it->second), contentType(name));
    });
}

} // namespace tovu::server
