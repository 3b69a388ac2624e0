#include "HttpServer.hpp"

#include "Database.hpp"
#include "Errors.hpp"
#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Json.hpp"

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <deque>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <unordered_map>

namespace tovu::server {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

constexpr std::size_t maxHead = 16 * 1024;
constexpr std::size_t maxBody = Contract::maxBodyBytes;
constexpr int backlog = 4096;
constexpr int workerThreads = 8;
constexpr auto lingerLimit = 3s;

const char* const contentPolicy =
    "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
    "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'";

struct Route {
    std::string method;
    std::regex pattern;
    HttpServer::Handler handler;
    bool slow = false;
};

// The answer to a request that a handler served or refused; nothing internal goes out.
Http::Response run(const HttpServer::Handler& handler, const Http::Request& req) {
    try {
        return handler(req);
    } catch (const BadInput& e) {
        return Http::message(400, e.what());
    } catch (const Refusal& e) {
        nlohmann::json answer{{"message", e.what()}};
        if (!e.confirm.empty()) answer["confirm"] = e.confirm;
        return Http::reply(e.status, answer);
    } catch (const DecodeError&) {
        return Http::message(400, "Dữ liệu gửi lên không đúng.");
    } catch (const DatabaseError& e) {
        Http::log(std::string("Lỗi cơ sở dữ liệu: ") + e.what());
    } catch (const std::exception& e) {
        Http::log(req.method + " " + req.path + ": " + e.what());
    }
    return Http::message(500, "Máy chủ đang gặp lỗi, hãy thử lại sau.");
}

std::string chunk(const std::string& text) {
    std::ostringstream out;
    out << std::hex << text.size() << "\r\n" << text << "\r\n";
    return out.str();
}

} // namespace

struct HttpServer::Impl {
    // In the order their lives need: connections give their address back when they end,
    // sockets need the TLS context and the io context, workers post to the io context.
    std::mutex mutex;
    std::unordered_map<std::string, std::size_t> connections; // by address
    std::vector<Route> routes;
    std::optional<ssl::context> tls;
    net::io_context io;
    tcp::acceptor acceptor{io};
    net::steady_timer pause{io};
    net::thread_pool workers{workerThreads};
    net::thread_pool slowWorkers{1};

    bool admit(const std::string& address) {
        std::lock_guard lock(mutex);
        auto& n = connections[address];
        if (n >= perAddress) return false;
        ++n;
        return true;
    }

    void release(const std::string& address) {
        std::lock_guard lock(mutex);
        if (const auto it = connections.find(address); it != connections.end() && --it->second == 0)
            connections.erase(it);
    }

    void accept();

    // Runs the request's route on a worker and hands the answer to done.
    void dispatch(Http::Request req, std::function<void(Http::Response)> done) {
        const Route* route = nullptr;
        std::smatch m;
        for (const auto& r : routes)
            if (r.method == req.method && std::regex_match(req.path, m, r.pattern)) {
                route = &r;
                req.matches.assign(m.begin(), m.end());
                break;
            }
        if (!route) return done(Http::message(404, "Không có trang này."));
        net::post(route->slow ? slowWorkers : workers,
                  [route, req = std::move(req), done = std::move(done)] {
                      done(run(route->handler, req));
                  });
    }
};

namespace {

// One client's connection: its requests one after another, each answered whole or as a stream.
template <class Socket>
class Connection final : public Http::Stream,
                         public std::enable_shared_from_this<Connection<Socket>> {
public:
    Connection(HttpServer::Impl& server, Socket socket, std::string address)
        : server_(server)
        , socket_(std::move(socket))
        , address_(std::move(address)) {}

    ~Connection() override { server_.release(address_); }

    void start() {
        if constexpr (tls) {
            lowest().expires_after(HttpServer::headLimit);
            socket_.async_handshake(ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code ec) {
                                        if (ec)
                                            self->close();
                                        else
                                            self->readRequest();
                                    });
        } else {
            readRequest();
        }
    }

    void write(std::string text) override {
        net::post(socket_.get_executor(),
                  [self = this->shared_from_this(), text = std::move(text)] {
                      if (self->state_ == State::streaming && !self->ended_)
                          self->enqueue(chunk(text));
                  });
    }

    void end() override {
        net::post(socket_.get_executor(), [self = this->shared_from_this()] {
            if (self->state_ != State::streaming || self->ended_) return;
            self->ended_ = true;
            self->enqueue("0\r\n\r\n");
        });
    }

    bool gone() const override { return gone_; }

private:
    static constexpr bool tls = !std::is_same_v<Socket, beast::tcp_stream>;
    enum class State { reading, handling, answering, streaming };

    beast::tcp_stream& lowest() { return beast::get_lowest_layer(socket_); }

    void readRequest() {
        state_ = State::reading;
        ended_ = false;
        parser_.emplace();
        parser_->header_limit(maxHead);
        parser_->body_limit(maxBody);
        // The deadline for the head runs from its first byte; before that, the idle limit.
        headStarted_ = buffer_.size() > 0;
        lowest().expires_after(headStarted_ ? HttpServer::headLimit : HttpServer::idleLimit);
        if (headStarted_) return parseHead();
        readHead();
    }

    // Raw reads: the parser takes a head only once it is whole, and the deadline must start
    // with the first byte.
    void readHead() {
        socket_.async_read_some(buffer_.prepare(4096), [self = this->shared_from_this()](
                                                           beast::error_code ec, std::size_t n) {
            self->buffer_.commit(n);
            if (ec) return self->readFailed(ec);
            if (!self->headStarted_) {
                self->headStarted_ = true;
                self->lowest().expires_after(HttpServer::headLimit);
            }
            self->parseHead();
        });
    }

    void parseHead() {
        for (;;) {
            beast::error_code ec;
            const auto used = parser_->put(buffer_.data(), ec);
            buffer_.consume(used);
            if (ec == http::error::need_more) return readHead();
            if (ec) return readFailed(ec);
            if (parser_->is_header_done()) break;
            if (used == 0) return readHead();
        }
        if (parser_->get()[http::field::expect] == "100-continue")
            enqueue("HTTP/1.1 100 Continue\r\n\r\n");
        lowest().expires_after(HttpServer::bodyLimit);
        http::async_read(socket_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                             if (ec) return self->readFailed(ec);
                             self->dispatch();
                         });
    }

    // Slow or silent clients get no answer; broken requests get a short one.
    void readFailed(beast::error_code ec) {
        if (ec == http::error::body_limit) return refuse(413, "Dữ liệu gửi lên quá lớn.");
        if (ec == http::error::header_limit) return refuse(431, "Phần đầu yêu cầu quá lớn.");
        if (ec.category() == http::make_error_code(http::error::bad_target).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return refuse(400, "Yêu cầu không đúng.");
        close();
    }

    void refuse(int status, const std::string& text) {
        keepAlive_ = false;
        lingering_ = true;
        requestLine_ = "?";
        respond(Http::message(status, text));
    }

    void dispatch() {
        auto message = parser_->release();
        parser_.reset();
        Http::Request req;
        req.method = std::string(message.method_string());
        const std::string_view target(message.target().data(), message.target().size());
        const auto question = target.find('?');
        req.path = std::string(target.substr(0, question));
        if (question != std::string_view::npos)
            req.query = std::string(target.substr(question + 1));
        for (const auto& field : message) {
            std::string name(field.name_string());
            for (auto& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            req.headers.emplace_back(std::move(name), std::string(field.value()));
        }
        req.body = std::move(message.body());
        req.remoteAddress = address_;
        keepAlive_ = message.keep_alive();
        requestLine_ = req.method + " " + req.path;
        state_ = State::handling;
        server_.dispatch(std::move(req), [self = this->shared_from_this()](Http::Response res) {
            net::post(self->socket_.get_executor(),
                      [self, res = std::move(res)]() mutable { self->respond(std::move(res)); });
        });
    }

    void respond(Http::Response res) {
        Http::log(requestLine_ + " " + std::to_string(res.status) + " " + address_);
        const bool streamed = static_cast<bool>(res.streamTo);
        http::response<http::string_body> out{static_cast<http::status>(res.status), 11};
        out.set(http::field::content_type, res.contentType);
        out.set("Content-Security-Policy", contentPolicy);
        out.set("X-Content-Type-Options", "nosniff");
        out.set("Referrer-Policy", "no-referrer");
        for (const auto& [name, value] : res.headers)
            out.insert(name, value);
        out.keep_alive(keepAlive_);
        if (streamed) {
            out.set(http::field::cache_control, "no-store");
            out.chunked(true);
        } else {
            out.body() = std::move(res.body);
            out.prepare_payload();
        }
        std::ostringstream text;
        if (streamed)
            text << out.base();
        else
            text << out;
        if (!streamed) {
            state_ = State::answering;
            enqueue(text.str());
            return;
        }
        state_ = State::streaming;
        buffer_.shrink_to_fit();
        // Reading on while the answer streams tells when the client leaves.
        lowest().expires_never();
        watch();
        enqueue(text.str());
        res.streamTo(this->shared_from_this());
    }

    void watch() {
        watching_ = true;
        socket_.async_read_some(buffer_.prepare(1024), [self = this->shared_from_this()](
                                                           beast::error_code ec, std::size_t n) {
            self->buffer_.commit(n);
            self->watching_ = false;
            if (self->state_ == State::streaming && self->ended_ && !self->writing_) {
                // Cancelled once the answer was out, or the next request began.
                if (ec && ec != net::error::operation_aborted) return self->close();
                return self->readRequest();
            }
            if (ec || self->buffer_.size() > maxHead) return self->close();
            self->watch();
        });
    }

    void enqueue(std::string text) {
        queue_.push_back(std::move(text));
        if (!writing_) writeNext();
    }

    void writeNext() {
        if (queue_.empty()) {
            writing_ = false;
            return written();
        }
        writing_ = true;
        lowest().expires_after(HttpServer::writeLimit);
        net::async_write(socket_, net::buffer(queue_.front()),
                         [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                             self->queue_.pop_front();
                             if (ec) return self->close();
                             self->writeNext();
                         });
    }

    // Everything queued is out.
    void written() {
        if (state_ == State::answering) {
            if (keepAlive_) return readRequest();
            if (lingering_) return linger();
            return close();
        }
        if (state_ == State::streaming && ended_) {
            if (!keepAlive_) return close();
            if (watching_) return lowest().socket().cancel();
            readRequest();
        }
    }

    // A client still sending what was refused would meet a reset and might never read the
    // answer: what it sends for a few more seconds is read and dropped.
    void linger() {
        beast::error_code ec;
        lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
        lowest().expires_after(lingerLimit);
        drain();
    }

    void drain() {
        buffer_.clear();
        socket_.async_read_some(buffer_.prepare(16 * 1024), [self = this->shared_from_this()](
                                                                beast::error_code ec, std::size_t) {
            if (ec) return self->close();
            self->drain();
        });
    }

    void close() {
        gone_ = true;
        queue_.clear();
        beast::error_code ec;
        lowest().socket().shutdown(tcp::socket::shutdown_both, ec);
        lowest().close();
    }

    HttpServer::Impl& server_;
    Socket socket_;
    std::string address_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::deque<std::string> queue_;
    std::string requestLine_;
    State state_ = State::reading;
    bool headStarted_ = false;
    bool keepAlive_ = true;
    bool writing_ = false;
    bool watching_ = false;
    bool ended_ = false;
    bool lingering_ = false;
    std::atomic<bool> gone_ = false;
};

} // namespace

void HttpServer::Impl::accept() {
    acceptor.async_accept(net::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors, most likely: give the others a moment to end.
            pause.expires_after(50ms);
            return pause.async_wait([this](beast::error_code) { accept(); });
        }
        const auto peer = socket.remote_endpoint(ec);
        const auto address = ec ? std::string() : peer.address().to_string();
        if (!ec && admit(address)) {
            socket.set_option(tcp::no_delay(true), ec);
            if (tls)
                std::make_shared<Connection<beast::ssl_stream<beast::tcp_stream>>>(
                    *this, beast::ssl_stream<beast::tcp_stream>(std::move(socket), *tls), address)
                    ->start();
            else
                std::make_shared<Connection<beast::tcp_stream>>(
                    *this, beast::tcp_stream(std::move(socket)), address)
                    ->start();
        }
        accept();
    });
}

HttpServer::HttpServer(const std::optional<Tls>& tls)
    : impl_(std::make_unique<Impl>()) {
    if (!tls) return;
    try {
        auto& ctx = impl_->tls.emplace(ssl::context::tls_server);
        ctx.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                        ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
        ctx.use_certificate_chain_file(tls->cert);
        ctx.use_private_key_file(tls->key, ssl::context::pem);
    } catch (const boost::system::system_error&) {
        throw std::runtime_error("Không dùng được chứng chỉ " + tls->cert + " và khoá " + tls->key);
    }
}

HttpServer::~HttpServer() = default;

void HttpServer::route(std::string method, const std::string& pattern, Handler handler, bool slow) {
    impl_->routes.push_back({std::move(method), std::regex(pattern), std::move(handler), slow});
}

int HttpServer::bind(const std::string& host, int port) {
    beast::error_code ec;
    const auto address = net::ip::make_address(host, ec);
    if (ec) return -1;
    const tcp::endpoint at(address, static_cast<unsigned short>(port));
    auto& a = impl_->acceptor;
    a.open(at.protocol(), ec);
    if (!ec) a.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) a.bind(at, ec);
    if (!ec) a.listen(backlog, ec);
    if (ec) return -1;
    return a.local_endpoint().port();
}

bool HttpServer::serve() {
    impl_->accept();
    std::thread other([this] { impl_->io.run(); });
    impl_->io.run();
    other.join();
    // No handler may run on once serving has ended.
    impl_->workers.stop();
    impl_->slowWorkers.stop();
    impl_->workers.join();
    impl_->slowWorkers.join();
    return true;
}

void HttpServer::stop() {
    impl_->io.stop();
}

} // namespace tovu::server
