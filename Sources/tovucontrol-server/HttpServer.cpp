#include "HttpServer.hpp"

#include "DeviceApi.hpp"
#include "Http.hpp"

#include <stdexcept>

namespace tovu::server {
namespace {

constexpr std::size_t maxBody = 64 * 1024;
// Event streams hold a thread each; the rest serve requests.
constexpr std::size_t threads = 32;

std::unique_ptr<httplib::Server> makeServer(const std::optional<Tls>& tls) {
    if (!tls) return std::make_unique<httplib::Server>();
    auto s = std::make_unique<httplib::SSLServer>(tls->cert.c_str(), tls->key.c_str());
    if (!s->is_valid())
        throw std::runtime_error("Không dùng được chứng chỉ " + tls->cert + " và khoá " + tls->key);
    return s;
}

void secureHeaders(httplib::Response& res) {
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data:; style-src 'self'; "
                   "script-src 'self'; connect-src 'self'; frame-ancestors 'none'; "
                   "base-uri 'none'; form-action 'self'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
}

} // namespace

HttpServer::HttpServer(Store& store, const std::optional<Tls>& tls)
    : http_(makeServer(tls))
    , console_(store, tls.has_value()) {
    http_->new_task_queue = [] { return new httplib::ThreadPool(threads); };
    http_->set_payload_max_length(maxBody);
    // Headers and body go out in separate writes; without this each answer waits for an ACK.
    http_->set_tcp_nodelay(true);
    http_->set_keep_alive_max_count(10000);
    http_->set_read_timeout(10);
    http_->set_write_timeout(10);
    http_->set_post_routing_handler(
        [](const httplib::Request&, httplib::Response& res) { secureHeaders(res); });
    http_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        secureHeaders(res);
        Http::sendMessage(res, res.status,
                          res.status == 413   ? "Dữ liệu gửi lên quá lớn."
                          : res.status == 404 ? "Không có trang này."
                                              : "Yêu cầu không đúng.");
    });
    http_->set_logger([](const httplib::Request& req, const httplib::Response& res) {
        Http::log(req.method + " " + req.path + " " + std::to_string(res.status) + " " +
                  req.remote_addr);
    });
    addDeviceApi(*http_, store);
    console_.addRoutes(*http_);
}

int HttpServer::bind(const std::string& host, int port) {
    if (port == 0) return http_->bind_to_any_port(host);
    return http_->bind_to_port(host, port) ? port : -1;
}

bool HttpServer::serve() {
    return http_->listen_after_bind();
}

void HttpServer::stop() {
    console_.stop();
    http_->stop();
}

} // namespace tovu::server
