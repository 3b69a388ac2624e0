// parents-server [--port N] [--grant-after SECONDS]
//
// Plays the family's server on 127.0.0.1 for trials: pairs with code 123456, hands out a policy
// that locks the computer because today's time is used up, and grants each request for more
// time after a delay, as a parent tapping "yes" on the phone would. Prints what it receives.
#include "TovuCore/Json.hpp"
#include "TovuCore/Models.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <httplib.h>
#include <map>
#include <mutex>
#include <string>

namespace {

using namespace std::chrono;
using tovu::Json::encode;

constexpr const char* token = "demo-token";

std::string iso(system_clock::time_point t) {
    std::time_t secs = system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

struct Request {
    system_clock::time_point madeAt;
    std::int64_t minutes;
};

class Family {
public:
    explicit Family(seconds grantAfter)
        : grantAfter_(grantAfter) {}

    tovu::Policy policy() {
        std::lock_guard lock(mutex_);
        auto now = system_clock::now();
        tovu::Policy p;
        p.serverTime = iso(now);
        p.childName = "Bin";
        p.mode = "tu_do";
        p.locked = true;
        p.lockReason = "het_gio";
        p.minutesLeft = 0;
        p.nextCheckSec = 10;
        p.canExchangePoints = true;
        if (grantEnd_ && *grantEnd_ > now) {
            p.locked = false;
            p.lockReason.reset();
            p.grantEndsAt = iso(*grantEnd_);
        }
        return p;
    }

    tovu::RequestResult ask(std::int64_t minutes) {
        std::lock_guard lock(mutex_);
        std::string id = "r" + std::to_string(requests_.size() + 1);
        requests_[id] = {system_clock::now(), minutes};
        return {.id = id, .status = "cho", .grantEndsAt = std::nullopt};
    }

    std::optional<tovu::RequestState> state(const std::string& id) {
        std::lock_guard lock(mutex_);
        auto it = requests_.find(id);
        if (it == requests_.end()) return std::nullopt;
        auto now = system_clock::now();
        if (now - it->second.madeAt < grantAfter_)
            return tovu::RequestState{"cho", std::nullopt, std::nullopt};
        auto end = it->second.madeAt + grantAfter_ + minutes(it->second.minutes);
        grantEnd_ = end;
        return tovu::RequestState{
            .status = "duoc", .grantedMinutes = it->second.minutes, .grantEndsAt = iso(end)};
    }

private:
    std::mutex mutex_;
    seconds grantAfter_;
    std::map<std::string, Request> requests_;
    std::optional<system_clock::time_point> grantEnd_;
};

void answer(httplib::Response& res, int status, const std::string& body) {
    res.status = status;
    res.set_content(body, "application/json");
}

bool authorised(const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("authorization") == std::string("Bearer ") + token) return true;
    answer(res, 401, R"({"message":"Token sai"})");
    return false;
}

} // namespace

int main(int argc, char** argv) {
    int port = 0;
    int grantAfter = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--port")
            port = std::stoi(argv[i + 1]);
        else if (option == "--grant-after")
            grantAfter = std::stoi(argv[i + 1]);
    }

    Family family{seconds(grantAfter)};
    httplib::Server server;

    server.Post("/api/pair", [](const httplib::Request& req, httplib::Response& res) {
        auto body = tovu::Json::parse(req.body);
        if (body.value("code", "") != "123456")
            return answer(res, 404, R"({"message":"Mã ghép không đúng"})");
        tovu::PairResult paired{"demo-device", token, "Bin", std::nullopt};
        answer(res, 200, encode(paired));
    });
    server.Post("/api/device/sync", [&](const httplib::Request& req, httplib::Response& res) {
        if (!authorised(req, res)) return;
        std::printf("sync: %s\n", req.body.c_str());
        std::fflush(stdout);
        answer(res, 200, encode(family.policy()));
    });
    server.Post("/api/device/requests", [&](const httplib::Request& req, httplib::Response& res) {
        if (!authorised(req, res)) return;
        std::printf("request: %s\n", req.body.c_str());
        std::fflush(stdout);
        auto body = tovu::Json::parse(req.body);
        answer(res, 200, encode(family.ask(body.value("minutes", std::int64_t{30}))));
    });
    server.Get(R"(/api/device/requests/([^/]+))",
               [&](const httplib::Request& req, httplib::Response& res) {
                   if (!authorised(req, res)) return;
                   auto state = family.state(req.matches[1]);
                   if (!state) return answer(res, 404, R"({"message":"Không có yêu cầu này"})");
                   answer(res, 200, encode(*state));
               });

    if (port == 0)
        port = server.bind_to_any_port("127.0.0.1");
    else if (!server.bind_to_port("127.0.0.1", port))
        port = -1;
    if (port < 0) {
        std::fprintf(stderr, "parents-server: cannot listen\n");
        return 1;
    }
    std::printf("listening on http://127.0.0.1:%d\n", port);
    std::fflush(stdout);
    return server.listen_after_bind() ? 0 : 1;
}
