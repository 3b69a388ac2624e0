#include "Console.hpp"

#include "Engine.hpp"
#include "Qr.hpp"
#include "Security.hpp"
#include "TovuProtocol/Iso.hpp"
#include "TovuProtocol/Json.hpp"
#include "WebFiles.hpp"
#include "Zone.hpp"

#include <map>

namespace tovu::server {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* cookieName = "tovu_session";
// A push service's address, and a browser's key: long, but never more than this.
constexpr Contract::TextLimit pushAddress{2048, 2048};
constexpr Contract::TextLimit pushKey{256, 256};

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

std::string password(const json& b, const char* key = "password") {
    auto p = *Http::text(b, key, Contract::Text::password);
    if (Contract::characters(p) < Contract::Text::minPasswordChars)
        throw BadInput(fieldLabel(key) + ": cần ít nhất " +
                       std::to_string(Contract::Text::minPasswordChars) + " ký tự.");
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

json iso(const std::optional<Time>& t) {
    return t ? json(Iso::format(*t)) : json(nullptr);
}

template <class T> json orNull(const std::optional<T>& v) {
    return v ? json(*v) : json(nullptr);
}

json toJson(const FamilyInfo& f) {
    return {{"id", f.id}, {"name", f.name}, {"timeZone", f.timeZone}};
}

json toJson(const ChildView& c) {
    return {{"id", c.id},
            {"name", c.name},
            {"pointsBalance", c.points},
            {"rules", c.rules},
            {"lockedByParent", c.lockedByParent},
            {"grantEndsAt", iso(c.grantEnd)},
            {"bedtimeDelayedUntil", iso(c.bedtimeDelayedUntil)}};
}

json toJson(const DeviceView& d) {
    return {{"id", d.id},
            {"childId", d.childId},
            {"name", d.name},
            {"platform", d.platform},
            {"osVersion", d.osVersion},
            {"agentVersion", d.agentVersion},
            {"online", d.online},
            {"lastSeen", iso(d.lastSeen)},
            {"protected", orNull(d.isProtected)},
            {"helperAlive", orNull(d.helperAlive)},
            {"childIsAdmin", orNull(d.childIsAdmin)},
            {"childUser", orNull(d.childUser)},
            {"reason", orNull(d.reason)},
            {"lastRefusal", orNull(d.lastRefusal)},
            {"rulesReceivedAt", iso(d.rulesReceivedAt)},
            {"rulesWaiting", d.rulesWaiting}};
}

json toJson(const RequestView& r) {
    return {{"id", r.id},
            {"childId", r.childId},
            {"childName", r.childName},
            {"kind", r.kind},
            {"minutes", r.minutes},
            {"appId", orNull(r.appId)},
            {"appName", orNull(r.appName)},
            {"note", orNull(r.note)},
            {"status", r.status},
            {"createdAt", iso(r.createdAt)},
            {"answeredAt", iso(r.answeredAt)},
            {"grantEndsAt", iso(r.grantEnd)}};
}

json toJson(const TodayView& t) {
    json apps = json::array();
    for (const auto& a : t.apps)
        apps.push_back({{"appId", a.appId}, {"appName", a.appName}, {"minutes", a.minutes}});
    return {{"day", t.day},
            {"usedMinutes", t.usedMinutes},
            {"minutesLeft", orNull(t.policy.minutesLeft)},
            {"limitMinutes", orNull(t.limitMinutes)},
            {"allowanceLeft", orNull(t.allowanceLeft)},
            {"locked", t.policy.locked},
            {"lockReason", orNull(t.policy.lockReason)},
            {"lockUntil", t.lockUntil ? json(Engine::clockText(*t.lockUntil)) : json(nullptr)},
            {"grantEndsAt", orNull(t.policy.grantEndsAt)},
            {"bedtimeDelayedUntil", iso(t.bedtimeDelayedUntil)},
            {"apps", apps}};
}

template <class T> json list(const std::vector<T>& items) {
    json out = json::array();
    for (const auto& item : items)
        out.push_back(toJson(item));
    return out;
}

json toJson(const FamilyView& v) {
    json parents = json::array();
    for (const auto& [id, name] : v.parents)
        parents.push_back({{"id", id}, {"name", name}});
    return {{"family", toJson(v.family)},
            {"parents", parents},
            {"children", list(v.children)},
            {"devices", list(v.devices)}};
}

} // namespace

std::vector<Event> Console::eventsAfter(const std::string& familyId, std::int64_t after) {
    auto events = events_.after(familyId, after);
    // A request event names the request; the console gets all of it.
    for (auto& e : events) {
        if (e.kind != "request") continue;
        const auto id = Json::parse(e.data).value("request", std::string());
        if (const auto r = families_.request(familyId, id)) e.data = Json::encode(toJson(*r));
    }
    return events;
}

Console::Console(Accounts& accounts, Families& families, Events& events, Notifier& notifier,
                 bool secure)
    : accounts_(accounts)
    , families_(families)
    , events_(events)
    , notifier_(notifier)
    , secure_(secure) {}

Console::Session Console::sessionOf(const Http::Request& req) {
    Session s{cookieToken(req), std::nullopt};
    if (!s.token.empty()) s.parent = accounts_.session(s.token);
    return s;
}

bool Console::csrfHolds(const Http::Request& req, const Session& s) const {
    return !s.token.empty() &&
           Security::sameSecret(req.header("x-csrf-token"), Security::csrfFor(s.token));
}

json Console::sessionJson(const Session& s) {
    json out{{"setupNeeded", accounts_.setupNeeded()},
             {"loggedIn", s.parent.has_value()},
             {"csrf", Security::csrfFor(s.token)}};
    if (s.parent) {
        out["parent"] = {{"id", s.parent->id}, {"name", s.parent->name}};
        out["family"] = toJson(families_.family(*s.parent));
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
    const Session s{accounts_.openSession(parent), parent};
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

Http::Response Console::events(Hub& hub, const Parent& parent) {
    auto seat = hub.seat(parent.familyId, parent.id);
    if (!seat) return Http::message(503, "Có quá nhiều trang đang mở, hãy đóng bớt.");
    const auto last = events_.last(parent.familyId);
    Http::Response res;
    res.contentType = "text/event-stream";
    res.streamTo = [&hub, seat = std::move(seat), last](std::shared_ptr<Http::Stream> stream) {
        hub.watch(seat, last, std::move(stream));
    };
    return res;
}

void Console::addRoutes(HttpServer& server, Hub& hub) {
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
            return loggedIn(accounts_.setup(*Http::text(b, "setupToken", Http::word),
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
            return loggedIn(accounts_.login(*Http::text(b, "name", Contract::Text::name),
                                            *Http::text(b, "password", Contract::Text::password),
                                            req.remoteAddress));
        },
        true);

    server.route("POST", api + "logout", [this](const Http::Request& req) {
        const auto s = sessionOf(req);
        if (!csrfHolds(req, s)) return expired();
        accounts_.closeSession(s.token);
        auto res = Http::reply(200, json::object());
        setCookie(res, "", false);
        return res;
    });

    server.route("GET", api + "family",
                 parentCall([this](const Parent& p,
                                   const Http::Request&) { return toJson(families_.view(p)); },
                            false));
    server.route("POST", api + "parents",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         const auto b = Http::body(req);
                         const auto added = accounts_.addParent(
                             p, *Http::text(b, "name", Contract::Text::name), password(b));
                         return json{{"id", added.id}, {"name", added.name}};
                     },
                     true),
                 true);
    server.route("POST", api + "children",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         const auto b = Http::body(req);
                         return toJson(
                             families_.addChild(p, *Http::text(b, "name", Contract::Text::name),
                                                Http::flag(b, "sameName")));
                     },
                     true));
    addManaging(server);
    server.route("PUT", child + "rules",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         return toJson(families_.setRules(p, req.matches[1],
                                                          Http::body(req).get<ChildRules>()));
                     },
                     true));
    for (const bool lock : {true, false})
        server.route("POST", child + (lock ? "lock" : "unlock"),
                     parentCall(
                         [this, lock](const Parent& p, const Http::Request& req) {
                             return toJson(families_.setLock(p, req.matches[1], lock));
                         },
                         true));
    server.route("POST", child + "grant",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         const auto b = Http::body(req);
                         return toJson(
                             families_.grant(p, req.matches[1],
                                             Http::integer(b, "minutes", Contract::Number::minutes),
                                             Http::flag(b, "unlock")));
                     },
                     true));
    server.route(
        "POST", child + "points",
        parentCall(
            [this](const Parent& p, const Http::Request& req) {
                return toJson(families_.addPoints(
                    p, req.matches[1],
                    Http::integer(Http::body(req), "delta", Contract::Number::pointsDelta)));
            },
            true));
    // The child's views, and a new pairing code for the child.
    server.route("GET", child + "today",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         return toJson(families_.today(p, req.matches[1]));
                     },
                     false));
    server.route("GET", child + "week",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         const auto week = families_.week(p, req.matches[1]);
                         json days = json::array(), apps = json::array();
                         for (const auto& d : week.days)
                             days.push_back({{"day", d.day},
                                             {"minutes", d.minutes},
                                             {"limitMinutes", orNull(d.limitMinutes)}});
                         for (const auto& a : week.apps)
                             apps.push_back({{"appId", a.appId},
                                             {"appName", a.appName},
                                             {"minutes", a.minutes}});
                         return json{{"days", days}, {"apps", apps}};
                     },
                     false));
    server.route("GET", child + "apps",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         json apps = json::array();
                         for (const auto& a : families_.apps(p, req.matches[1]))
                             apps.push_back({{"appId", a.appId}, {"appName", a.appName}});
                         return json{{"apps", apps}};
                     },
                     false));
    server.route(
        "POST", child + "pairing-code",
        parentCall(
            [this](const Parent& p, const Http::Request& req) {
                const auto code = families_.pairingCode(p, req.matches[1]);
                return json{{"code", code.code}, {"expiresAt", Iso::format(code.expiresAt)}};
            },
            true));
    server.route("DELETE", api + "devices/([^/]+)",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         families_.removeDevice(p, req.matches[1]);
                         return json::object();
                     },
                     true));
    server.route("GET", api + "requests",
                 parentCall(
                     [this](const Parent& p, const Http::Request&) {
                         return json{{"requests", list(families_.requests(p))}};
                     },
                     false));
    server.route("POST", api + "requests/([^/]+)/answer",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         const auto b = Http::body(req);
                         const auto answer = *Http::text(b, "answer", Http::word);
                         if (answer != Contract::Status::granted &&
                             answer != Contract::Status::refused)
                             throw BadInput("Câu trả lời phải là được hoặc từ chối.");
                         std::optional<std::int64_t> minutes;
                         if (b.contains("minutes") && !b["minutes"].is_null())
                             minutes = Http::integer(b, "minutes", Contract::Number::minutes);
                         return toJson(families_.answer(p, req.matches[1],
                                                        answer == Contract::Status::granted,
                                                        minutes, Http::flag(b, "unlock")));
                     },
                     true));
    addPush(server);
    server.route("GET", api + "events", [this, &hub](const Http::Request& req) {
        const auto s = sessionOf(req);
        if (!s.parent) return Http::message(401, "Hãy đăng nhập lại.");
        return events(hub, *s.parent);
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

// What a family changes now and then: names, a password, who the parents are, tonight's
// bedtime, a grant given by mistake.
void Console::addManaging(HttpServer& server) {
    const std::string api = "/api/console/";
    const std::string child = api + "children/([^/]+)";
    const auto call = [&](const char* method, const std::string& path, Action action,
                          bool slow = false) {
        server.route(method, path, parentCall(std::move(action), true), slow);
    };
    call("PUT", child, [this](const Parent& p, const Http::Request& req) {
        const auto b = Http::body(req);
        return toJson(families_.renameChild(p, req.matches[1],
                                            *Http::text(b, "name", Contract::Text::name),
                                            Http::flag(b, "sameName")));
    });
    call("DELETE", child, [this](const Parent& p, const Http::Request& req) {
        families_.removeChild(p, req.matches[1]);
        return json::object();
    });
    call("PUT", api + "devices/([^/]+)", [this](const Parent& p, const Http::Request& req) {
        const auto name = *Http::text(Http::body(req), "name", Contract::Text::name);
        families_.renameDevice(p, req.matches[1], name);
        return json{{"id", req.matches[1]}, {"name", name}};
    });
    call(
        "POST", api + "password",
        [this](const Parent& p, const Http::Request& req) {
            const auto b = Http::body(req);
            accounts_.changePassword(p, *Http::text(b, "current", Contract::Text::password),
                                     password(b), cookieToken(req));
            return json::object();
        },
        true);
    call("DELETE", api + "parents/([^/]+)", [this](const Parent& p, const Http::Request& req) {
        accounts_.removeParent(p, req.matches[1]);
        return json::object();
    });
    call("POST", child + "/late-bedtime", [this](const Parent& p, const Http::Request& req) {
        return toJson(families_.delayBedtime(
            p, req.matches[1],
            Engine::readClockText(*Http::text(Http::body(req), "until", Http::word))));
    });
    call("DELETE", child + "/late-bedtime", [this](const Parent& p, const Http::Request& req) {
        return toJson(families_.delayBedtime(p, req.matches[1], std::nullopt));
    });
    call("POST", child + "/grant/undo", [this](const Parent& p, const Http::Request& req) {
        return toJson(families_.undoGrant(p, req.matches[1]));
    });
    // Any short text as a QR code, for the pairing dialog's address and code.
    server.route("GET", api + "qr", [this](const Http::Request& req) {
        if (!sessionOf(req).parent) return Http::message(401, "Hãy đăng nhập lại.");
        return Http::Response{.contentType = "image/svg+xml",
                              .body = Qr::svg(Http::decoded(req.param("text").value_or("")))};
    });
}

// The browser's push subscription, and the answer to a request from a notification's button,
// which carries the request's own token instead of a session.
void Console::addPush(HttpServer& server) {
    const std::string api = "/api/console/";
    server.route("GET", api + "push",
                 parentCall(
                     [this](const Parent&, const Http::Request&) {
                         return json{{"publicKey", notifier_.publicKey()}};
                     },
                     false));
    server.route("POST", api + "push/subscriptions",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         const auto b = Http::body(req);
                         const auto keys = b.contains("keys") && b["keys"].is_object()
                                               ? b["keys"]
                                               : json::object();
                         notifier_.subscribe(p, {*Http::text(b, "endpoint", pushAddress),
                                                 *Http::text(keys, "p256dh", pushKey),
                                                 *Http::text(keys, "auth", pushKey)});
                         return json::object();
                     },
                     true));
    server.route("POST", api + "push/subscriptions/remove",
                 parentCall(
                     [this](const Parent& p, const Http::Request& req) {
                         notifier_.unsubscribe(
                             p, *Http::text(Http::body(req), "endpoint", pushAddress));
                         return json::object();
                     },
                     true));
    server.route("POST", "/api/push/answer", [this](const Http::Request& req) {
        const auto b = Http::body(req);
        const auto answer = *Http::text(b, "answer", Http::word);
        if (answer != Contract::Status::granted && answer != Contract::Status::refused)
            throw BadInput("Câu trả lời phải là được hoặc từ chối.");
        const bool granted = answer == Contract::Status::granted;
        const auto minutes = granted ? Http::integer(b, "minutes", Contract::Number::minutes) : 0;
        const auto r = families_.answerWithToken(*Http::text(b, "request", Http::word),
                                                 *Http::text(b, "token", Http::word), granted,
                                                 granted ? std::optional(minutes) : std::nullopt);
        return Http::reply(200,
                           {{"message", granted ? "Đã cho " + r.childName + " thêm " +
                                                      std::to_string(minutes) + " phút."
                                                : "Đã từ chối yêu cầu của " + r.childName + "."}});
    });
}

} // namespace tovu::server
