// tovucontrol-server [--listen HOST:PORT] [--data DIR] [--database postgresql://…]
//                    [--tls-cert FILE --tls-key FILE] [--setup-token TOKEN] [--allow-http-push]
// tovucontrol-server --new-family [--data DIR] [--database postgresql://…]
//   prints a one-time token with which one more family sets itself up in the console.
// Options may also stand in the settings file, as "name = value" lines; the command line wins.
#include "Console.hpp"
#include "DeviceApi.hpp"
#include "HttpServer.hpp"
#include "Hub.hpp"
#include "Migrations.hpp"
#include "Security.hpp"
#include "Settings.hpp"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace tovu;
using namespace tovu::server;

struct Options {
    std::string host = "127.0.0.1";
    int port = 8765;
    std::string data = "./tovucontrol-data";
    std::optional<std::string> database;
    std::optional<Tls> tls;
    std::optional<std::string> setupToken;
    bool newFamily = false;
    bool plainPush = false; // push endpoints over http, for tests against a local endpoint
};

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "tovucontrol-server: " << problem << "\n"
              << "Dùng: tovucontrol-server [--listen HOST:PORT] [--data DIR] "
                 "[--database postgresql://…] [--tls-cert FILE --tls-key FILE] "
                 "[--setup-token TOKEN]\n"
                 "     tovucontrol-server --new-family [--data DIR] [--database postgresql://…]\n";
    std::exit(2);
}

Options parse(const std::vector<std::string>& argv) {
    const auto argc = argv.size();
    Options o;
    std::optional<std::string> cert, key;
    for (std::size_t i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--new-family" || name == "--allow-http-push") {
            (name == "--new-family" ? o.newFamily : o.plainPush) = true;
            continue;
        }
        if (i + 1 >= argc) usage("thiếu giá trị cho " + name);
        const std::string value = argv[++i];
        if (name == "--listen") {
            const auto colon = value.rfind(':');
            if (colon == std::string::npos) usage("--listen cần dạng HOST:PORT");
            o.host = value.substr(0, colon);
            try {
                o.port = std::stoi(value.substr(colon + 1));
            } catch (const std::logic_error&) {
                usage("cổng không đúng: " + value);
            }
            if (o.port < 0 || o.port > 65535) usage("cổng không đúng: " + value);
        } else if (name == "--data") {
            o.data = value;
        } else if (name == "--database") {
            if (!value.starts_with("postgresql://") && !value.starts_with("postgres://"))
                usage("--database cần một địa chỉ postgresql://");
            o.database = value;
        } else if (name == "--tls-cert") {
            cert = value;
        } else if (name == "--tls-key") {
            key = value;
        } else if (name == "--setup-token") {
            if (value.empty()) usage("--setup-token không được rỗng");
            o.setupToken = value;
        } else {
            usage("không hiểu " + name);
        }
    }
    if (cert.has_value() != key.has_value()) usage("--tls-cert và --tls-key đi cùng nhau");
    if (cert) o.tls = Tls{*cert, *key};
    return o;
}

// Every waiting computer holds a connection: as many as the system lets one process have.
void raiseFileLimit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= files.rlim_max) return;
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse(withSettings(TOVU_SERVER_SETTINGS, {argv, argv + argc}));
    } catch (const std::runtime_error& e) {
        usage(e.what());
    }

    // Signals are taken by one thread only, which stops the server cleanly.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        Security::init();
        // An administrator's --new-family must not leave files of root's in the service's store.
        if (!options.database) becomeOwnerOf(options.data);
        auto db = options.database ? openPostgres(*options.database) : openSqlite(options.data);
        migrate(*db);
        const auto& clock = SystemClock::shared();
        Accounts accounts(*db, clock);
        if (options.newFamily) {
            std::cout << "Mã thiết lập gia đình mới: " << accounts.familyToken()
                      << " — dùng được một lần, trong " << Accounts::familyTokenLifetime.count()
                      << " giờ. Trên trang đăng nhập, chọn “Tạo gia đình mới” và nhập mã này."
                      << std::endl;
            return 0;
        }
        raiseFileLimit();
        Devices devices(*db, clock);
        Families families(*db, clock);
        Events events(*db, clock);
        Subscriptions subscriptions(*db, clock);
        Notifier notifier(subscriptions, families, devices, clock, options.plainPush);
        HttpServer server(options.tls);
        Console console(accounts, families, events, notifier, options.tls.has_value());
        // After the server and the console: its waiting streams end before them.
        Hub hub(*db, [&console](const std::string& familyId, std::int64_t after) {
            return console.eventsAfter(familyId, after);
        });
        addDeviceApi(server, devices, hub, notifier);
        console.addRoutes(server, hub);
        const int port = server.bind(options.host, options.port);
        if (port < 0) {
            std::cerr << "tovucontrol-server: không nghe được ở " << options.host << ":"
                      << options.port << "\n";
            return 1;
        }
        const std::string address = std::string(options.tls ? "https" : "http") + "://" +
                                    options.host + ":" + std::to_string(port) + "/";
        if (accounts.setupNeeded()) {
            std::cout << "Mã thiết lập: " << accounts.setupToken(options.setupToken) << " — mở "
                      << address << " để tạo tài khoản bố mẹ." << std::endl;
        }
        std::cerr << "tovucontrol-server: đang phục vụ tại " << address << std::endl;

        std::thread waiter([&] {
            int received = 0;
            sigwait(&signals, &received);
            server.stop();
        });
        const bool served = server.serve();
        // Wakes the waiter when serving ended on its own.
        kill(getpid(), SIGTERM);
        waiter.join();
        return served ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "tovucontrol-server: " << e.what() << "\n";
        return 1;
    }
}
