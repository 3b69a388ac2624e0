#include "DeviceApi.hpp"

#include "Errors.hpp"
#include "TovuProtocol/Json.hpp"

#include <charconv>
#include <regex>

namespace tovu::server {
namespace {

using nlohmann::json;

std::string bearer(const Http::Request& req) {
    static constexpr std::string_view prefix = "Bearer ";
    const auto auth = req.header("authorization");
    return auth.starts_with(prefix) ? auth.substr(prefix.size()) : std::string();
}

Http::Response refusedToken() {
    return Http::message(401, "Máy đã bị gỡ khỏi gia đình hoặc token sai.");
}

UsageEntry usageEntry(const json& e) {
    static const std::regex dayForm(R"(\d{4}-\d\d-\d\d)");
    if (!e.is_object()) throw BadInput("Số liệu sử dụng không đúng.");
    UsageEntry u{*Http::text(e, "day", Http::word), *Http::text(e, "appId", Contract::Text::appId),
                 Http::text(e, "appName", Contract::Text::appName, false).value_or(""),
                 Http::integer(e, "minutes", Contract::Number::dailyMinutes)};
    if (!std::regex_match(u.day, dayForm)) throw BadInput("Ngày phải viết dạng yyyy-MM-dd.");
    if (u.appName.empty()) u.appName = u.appId;
    return u;
}

// A text the computer reports about itself, clipped rather than refused: it only informs.
std::optional<std::string> reported(const json& o, const char* key,
                                    const Contract::TextLimit& limit) {
    const auto it = o.find(key);
    if (it == o.end() || !it->is_string()) return std::nullopt;
    auto s = Contract::clip(it->get_ref<const std::string&>(), limit);
    return s.empty() ? std::nullopt : std::optional(s);
}

// The sync as far as it can be used: an entry the server cannot take is left out and named in
// dropped, so that it never holds back the rest.
SyncReport syncReport(const json& b, std::vector<DroppedEntry>& dropped) {
    SyncReport r;
    r.status = json::object();
    if (const auto s = b.find("status"); s != b.end() && s->is_object()) {
        for (const char* key : {"protected", "helperAlive", "childIsAdmin"})
            if (s->contains(key) && (*s)[key].is_boolean()) r.status[key] = (*s)[key];
        if (auto v = reported(*s, "childUser", Contract::Text::childUser))
            r.status["childUser"] = *v;
        for (const char* key : {"reason", "lastRefusal"})
            if (auto v = reported(*s, key, Contract::Text::reason)) r.status[key] = *v;
    }
    if (const auto u = b.find("usage"); u != b.end()) {
        if (!u->is_array()) throw BadInput("Số liệu sử dụng không đúng.");
        for (std::size_t i = 0; i < u->size(); ++i) {
            const auto index = static_cast<std::int64_t>(i);
            if (i >= Contract::maxUsageEntries) {
                dropped.push_back({index, "Quá nhiều mục trong một lần đồng bộ."});
                continue;
            }
            try {
                r.usage.push_back(usageEntry((*u)[i]));
            } catch (const BadInput& e) {
                dropped.push_back({index, e.what()});
            }
        }
    }
    if (const auto v = b.find("revision"); v != b.end() && v->is_number_integer())
        r.revision = v->get<std::int64_t>();
    r.agentVersion = reported(b, "agentVersion", Contract::Text::version);
    r.osVersion = reported(b, "osVersion", Contract::Text::version);
    return r;
}

std::int64_t revisionOf(const Http::Request& req) {
    const auto text = req.param("revision").value_or("");
    std::int64_t revision = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), revision);
    if (ec != std::errc() || end != text.data() + text.size() || revision < 0)
        throw BadInput("Cần revision là số nguyên không âm.");
    return revision;
}

} // namespace

void addDeviceApi(HttpServer& server, Devices& devices, Hub& hub, Notifier& notifier) {
    server.route("POST", "/api/pair", [&](const Http::Request& req) {
        const auto b = Http::body(req);
        Pairing p;
        p.code = Http::text(b, "code", Http::word).value_or("");
        p.platform = *Http::text(b, "platform", Http::word);
        if (p.platform != "linux" && p.platform != "mac")
            throw BadInput("Máy chủ chỉ nhận máy linux hoặc mac.");
        p.deviceName = *Http::text(b, "deviceName", Contract::Text::name);
        p.osVersion = *Http::text(b, "osVersion", Contract::Text::version);
        p.agentVersion = *Http::text(b, "agentVersion", Contract::Text::version);
        return Http::reply(200, devices.pair(p, req.remoteAddress));
    });

    server.route("POST", "/api/device/sync", [&](const Http::Request& req) {
        std::vector<DroppedEntry> dropped;
        const auto report = syncReport(Http::body(req), dropped);
        auto answer = devices.sync(bearer(req), report);
        if (!answer) return refusedToken();
        if (report.status.value("protected", true) == false) notifier.lookSoon();
        answer->dropped = std::move(dropped);
        return Http::reply(200, *answer);
    });

    server.route("POST", "/api/device/requests", [&](const Http::Request& req) {
        const auto device = devices.device(bearer(req));
        if (!device) return refusedToken();
        const auto b = Http::body(req);
        NewRequest n;
        n.kind = *Http::text(b, "kind", Http::word);
        if (n.kind != Contract::Kind::moreTime && n.kind != Contract::Kind::exchange)
            throw BadInput("Loại yêu cầu không đúng.");
        n.minutes = Http::integer(b, "minutes", Contract::Number::minutes);
        if (n.kind == Contract::Kind::moreTime) {
            n.appId = Http::text(b, "appId", Contract::Text::appId, false);
            n.appName = Http::text(b, "appName", Contract::Text::appName, false);
            n.note = Http::text(b, "note", Contract::Text::note, false);
        }
        const auto made = devices.request(*device, n);
        if (made.status == Contract::Status::waiting) notifier.requestMade(made.id);
        return Http::reply(200, made);
    });

    server.route("GET", "/api/device/requests/([^/]+)", [&](const Http::Request& req) {
        const auto device = devices.device(bearer(req));
        if (!device) return refusedToken();
        if (const auto state = devices.requestState(*device, req.matches[1]))
            return Http::reply(200, *state);
        return Http::message(404, "Không có yêu cầu này");
    });

    server.route("GET", "/api/device/wait", [&](const Http::Request& req) {
        const auto revision = revisionOf(req);
        const auto waiting = devices.waitFrom(bearer(req), revision);
        if (!waiting) return refusedToken();
        if (waiting->revision > revision) return Http::reply(200, WakeUp{true, waiting->revision});
        Http::Response res;
        res.streamTo = [&hub, childId = waiting->childId,
                        revision](std::shared_ptr<Http::Stream> stream) {
            hub.wait(childId, revision, std::move(stream));
        };
        return res;
    });
}

} // namespace tovu::server
