#include "DeviceApi.hpp"

#include "Http.hpp"
#include "TovuProtocol/Json.hpp"

#include <regex>

namespace tovu::server {
namespace {

using nlohmann::json;

constexpr std::size_t maxUsage = 3000;

std::string bearer(const httplib::Request& req) {
    static constexpr std::string_view prefix = "Bearer ";
    const auto auth = req.get_header_value("Authorization");
    return auth.starts_with(prefix) ? auth.substr(prefix.size()) : std::string();
}

void refuseToken(httplib::Response& res) {
    Http::sendMessage(res, 401, "Máy đã bị gỡ khỏi gia đình hoặc token sai.");
}

std::optional<DeviceRef> deviceOf(Store& store, const httplib::Request& req,
                                  httplib::Response& res) {
    auto device = store.device(bearer(req));
    if (!device) refuseToken(res);
    return device;
}

UsageEntry usageEntry(const json& e) {
    static const std::regex dayForm(R"(\d{4}-\d\d-\d\d)");
    if (!e.is_object()) throw BadInput("Số liệu sử dụng không đúng.");
    UsageEntry u{*Http::text(e, "day", 10), *Http::text(e, "appId", 300),
                 Http::text(e, "appName", 300, false).value_or(""),
                 Http::integer(e, "minutes", 0, 1440)};
    if (!std::regex_match(u.day, dayForm)) throw BadInput("Ngày phải viết dạng yyyy-MM-dd.");
    if (u.appName.empty()) u.appName = u.appId;
    return u;
}

SyncReport syncReport(const json& b) {
    SyncReport r;
    r.status = json::object();
    if (const auto s = b.find("status"); s != b.end() && s->is_object()) {
        for (const char* key : {"protected", "helperAlive", "childIsAdmin"})
            if (s->contains(key) && (*s)[key].is_boolean()) r.status[key] = (*s)[key];
        for (const char* key : {"childUser", "reason"})
            if (auto v = Http::text(*s, key, 500, false)) r.status[key] = *v;
    }
    if (const auto u = b.find("usage"); u != b.end()) {
        if (!u->is_array() || u->size() > maxUsage) throw BadInput("Số liệu sử dụng không đúng.");
        for (const auto& e : *u)
            r.usage.push_back(usageEntry(e));
    }
    r.agentVersion = Http::text(b, "agentVersion", 100, false);
    r.osVersion = Http::text(b, "osVersion", 100, false);
    return r;
}

} // namespace

void addDeviceApi(httplib::Server& server, Store& store) {
    server.Post("/api/pair", Http::guard([&](const httplib::Request& req, httplib::Response& res) {
                    const auto b = Http::body(req);
                    Pairing p;
                    p.code = Http::text(b, "code", 32).value_or("");
                    p.platform = *Http::text(b, "platform", 16);
                    if (p.platform != "linux" && p.platform != "mac")
                        throw BadInput("Máy chủ chỉ nhận máy linux hoặc mac.");
                    p.deviceName = *Http::text(b, "deviceName", 200);
                    p.osVersion = *Http::text(b, "osVersion", 100);
                    p.agentVersion = *Http::text(b, "agentVersion", 100);
                    Http::sendJson(res, 200, store.pair(p, req.remote_addr));
                }));

    server.Post("/api/device/sync",
                Http::guard([&](const httplib::Request& req, httplib::Response& res) {
                    const auto report = syncReport(Http::body(req));
                    if (const auto policy = store.sync(bearer(req), report))
                        Http::sendJson(res, 200, *policy);
                    else
                        refuseToken(res);
                }));

    server.Post("/api/device/requests",
                Http::guard([&](const httplib::Request& req, httplib::Response& res) {
                    const auto device = deviceOf(store, req, res);
                    if (!device) return;
                    const auto b = Http::body(req);
                    NewRequest n;
                    n.kind = *Http::text(b, "kind", 16);
                    if (n.kind != "them_gio" && n.kind != "doi_diem")
                        throw BadInput("Loại yêu cầu không đúng.");
                    n.minutes = Http::integer(b, "minutes", 1, 1440);
                    if (n.kind == "them_gio") {
                        n.appId = Http::text(b, "appId", 300, false);
                        n.appName = Http::text(b, "appName", 300, false);
                        n.note = Http::text(b, "note", 1000, false);
                    }
                    Http::sendJson(res, 200, store.request(*device, n));
                }));

    server.Get(R"(/api/device/requests/([^/]+))",
               Http::guard([&](const httplib::Request& req, httplib::Response& res) {
                   const auto device = deviceOf(store, req, res);
                   if (!device) return;
                   if (const auto state = store.requestState(*device, req.matches[1]))
                       Http::sendJson(res, 200, *state);
                   else
                       Http::sendMessage(res, 404, "Không có yêu cầu này");
               }));
}

} // namespace tovu::server
