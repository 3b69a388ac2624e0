#include "support/ParentsServer.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <regex>
#include <stdexcept>
#include <unistd.h>

namespace tovu::test {
namespace {

const std::string pgBin = "/usr/lib/postgresql/15/bin/";

int sh(const std::string& command) {
    return std::system(command.c_str());
}

} // namespace

bool PgCluster::available() {
    return std::filesystem::exists(pgBin + "initdb");
}

PgCluster::PgCluster() {
    // PostgreSQL refuses to run as root.
    if (geteuid() == 0) {
        const passwd* pg = getpwnam("postgres");
        if (!pg || chown(dir_.path().c_str(), pg->pw_uid, pg->pw_gid) != 0)
            throw std::runtime_error("no postgres account");
        as_ = "/usr/sbin/runuser -u postgres -- ";
    }
    const auto d = dir_.path().string();
    if (sh(as_ + pgBin + "initdb -D " + d + "/data -A trust -U postgres -E UTF8 --no-sync >" + d +
           "/initdb.log 2>&1") != 0 ||
        sh(as_ + pgBin + "pg_ctl -D " + d + "/data -l " + d + "/log -w -o \"-k " + d +
           " -c listen_addresses= -F\" start >/dev/null") != 0)
        throw std::runtime_error("PostgreSQL does not start in " + d);
    url_ = "postgresql:///postgres?host=" + d + "&user=postgres";
}

void PgCluster::pin(int cpu) const {
    std::ifstream pidFile(dir_.path() / "data" / "postmaster.pid");
    std::string pid;
    std::getline(pidFile, pid);
    sh("/usr/bin/taskset -a -p -c " + std::to_string(cpu) + " " + pid + " >/dev/null");
}

PgCluster::~PgCluster() {
    sh(as_ + pgBin + "pg_ctl -D " + dir_.path().string() + "/data -m immediate stop >/dev/null");
}

ParentsServer::ParentsServer(std::vector<std::string> command) {
    const std::string program = command.front();
    command.erase(command.begin());
    command.insert(command.end(), {"--listen", "127.0.0.1:0"});
    process_.emplace(program, std::map<std::string, std::string>{}, command);
    static const std::regex at(R"(đang phục vụ tại (https?://127\.0\.0\.1:(\d+))/)");
    std::smatch m;
    std::string log;
    if (!waitUntil([&] {
            log = process_->log();
            return std::regex_search(log, m, at);
        }))
        throw std::runtime_error("the server does not start: " + log);
    url_ = m[1];
    port_ = std::stoi(m[2]);
}

httplib::Client serverClient(const std::string& url, const std::string& ca) {
    httplib::Client http(url);
    if (!ca.empty()) http.set_ca_cert_path(ca.c_str());
    http.enable_server_certificate_verification(true);
    return http;
}

ConsoleClient::ConsoleClient(const std::string& url, const std::string& ca)
    : url_(url)
    , ca_(ca)
    , http_(serverClient(url, ca)) {
    csrf = call("GET", "/api/console/session").body.value("csrf", "");
}

std::string ConsoleClient::events(const std::function<bool(const std::string&)>& enough) {
    auto http = serverClient(url_, ca_);
    // Longer than the server's 15 s between pings.
    http.set_read_timeout(20);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string text;
    http.Get("/api/console/events", {{"Cookie", "tovu_session=" + cookie_}},
             [&](const char* data, std::size_t size) {
                 text.append(data, size);
                 return !enough(text) && std::chrono::steady_clock::now() < deadline;
             });
    return text;
}

Answer ConsoleClient::call(const std::string& method, const std::string& path,
                           const nlohmann::json& body, bool withCsrf) {
    httplib::Headers headers;
    if (!cookie_.empty()) headers.emplace("Cookie", "tovu_session=" + cookie_);
    if (withCsrf && method != "GET") headers.emplace("X-CSRF-Token", csrf);
    const auto text = body.is_null()     ? std::string()
                      : body.is_string() ? body.get<std::string>()
                                         : body.dump();
    const char* type = "application/json";
    const auto r = method == "GET"      ? http_.Get(path.c_str(), headers)
                   : method == "PUT"    ? http_.Put(path.c_str(), headers, text, type)
                   : method == "DELETE" ? http_.Delete(path.c_str(), headers, text, type)
                                        : http_.Post(path.c_str(), headers, text, type);
    if (!r) return {-1, nullptr};
    static const std::regex set(R"(tovu_session=([0-9a-f]*))");
    std::smatch m;
    if (r->has_header("Set-Cookie")) setCookie = r->get_header_value("Set-Cookie");
    if (std::regex_search(setCookie, m, set)) cookie_ = m[1];
    Answer a{r->status, nlohmann::json::parse(r->body, nullptr, false)};
    if (a.body.is_object() && a.body.contains("csrf")) csrf = a.body["csrf"];
    return a;
}

TestFamily::TestFamily(const std::string& url, const std::string& setupToken,
                       const std::string& parent, const std::string& ca)
    : console(url, ca)
    , url_(url)
    , ca_(ca) {
    const auto made = console.post("setup", {{"setupToken", setupToken},
                                             {"familyName", "Nhà của " + parent},
                                             {"parentName", parent},
                                             {"password", password},
                                             {"timeZone", "UTC"}});
    if (made.status != 200) throw std::runtime_error("setup refused: " + made.body.dump());
    childId = addChild("Bin");
}

std::string TestFamily::addChild(const std::string& name) {
    return console.post("children", {{"name", name}}).body.value("id", "");
}

std::string TestFamily::pair(const std::string& child) {
    const auto code = console.post("children/" + child + "/pairing-code").body.value("code", "");
    const nlohmann::json body{{"code", code},
                              {"platform", "linux"},
                              {"deviceName", "Máy của Bin"},
                              {"osVersion", "Linux 6.1"},
                              {"agentVersion", "linux-0.1.0"}};
    const auto r = serverClient(url_, ca_).Post("/api/pair", body.dump(), "application/json");
    if (!r || r->status != 200) throw std::runtime_error("pairing failed");
    return nlohmann::json::parse(r->body).value("token", "");
}

} // namespace tovu::test
