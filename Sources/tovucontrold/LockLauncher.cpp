#include "LockLauncher.hpp"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/vt.h>
#include <mutex>
#include <optional>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>

namespace tovu {
namespace {

// The first virtual console that nobody has open; absent on a computer without them.
std::optional<int> freeConsole() {
    const int fd = ::open("/dev/tty0", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    int n = -1;
    const int r = ::ioctl(fd, VT_OPENQRY, &n);
    ::close(fd);
    if (r < 0 || n < 1) return std::nullopt;
    return n;
}

class SystemdLauncher final : public LockLauncher {
public:
    explicit SystemdLauncher(Log log)
        : log_(std::move(log)) {}

    void start() override {
        std::lock_guard g(mutex_);
        if (unit_.empty()) {
            const auto console = freeConsole();
            if (!console) {
                fail("máy không còn màn hình dòng lệnh ảo nào trống");
                return;
            }
            unit_ = "tovucontrol-lock@" + std::to_string(*console) + ".service";
        }
        if (const auto error = call("StartUnit")) {
            fail(*error);
        } else {
            loi_.clear();
        }
    }

    void stop() override {
        std::lock_guard g(mutex_);
        if (unit_.empty()) return;
        if (const auto error = call("StopUnit")) log_("Không tắt được màn hình khoá: " + *error);
        unit_.clear();
    }

    std::string loi() const override {
        std::lock_guard g(mutex_);
        return loi_;
    }

private:
    void fail(const std::string& why) {
        if (loi_ != why) log_("Không mở được màn hình khoá: " + why);
        loi_ = why;
    }

    // StartUnit or StopUnit of unit_; the error when systemd refused or did not answer.
    std::optional<std::string> call(const char* member) {
        sd_bus* bus = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_open_system(&bus);
        if (r >= 0)
            r = sd_bus_call_method(bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                   "org.freedesktop.systemd1.Manager", member, &error, &reply, "ss",
                                   unit_.c_str(), "replace");
        std::optional<std::string> out;
        if (r < 0) out = unit_ + ": " + (error.message ? error.message : std::strerror(-r));
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        sd_bus_flush_close_unref(bus);
        return out;
    }

    Log log_;
    mutable std::mutex mutex_; // guards unit_ and loi_
    std::string unit_;
    std::string loi_;
};

class CommandLauncher final : public LockLauncher {
public:
    CommandLauncher(std::string command, Log log)
        : command_(std::move(command))
        , log_(std::move(log)) {}

    ~CommandLauncher() override {
        {
            std::lock_guard g(mutex_);
            quit_ = true;
        }
        stop();
        if (thread_.joinable()) thread_.join();
    }

    void start() override {
        std::lock_guard g(mutex_);
        if (command_.empty()) {
            loi_ = "không có lệnh nào mở màn hình khoá";
            return;
        }
        wanted_ = true;
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        cv_.notify_all();
    }

    void stop() override {
        std::lock_guard g(mutex_);
        wanted_ = false;
        if (pid_ > 0) ::kill(-pid_, SIGTERM);
        cv_.notify_all();
    }

    std::string loi() const override {
        std::lock_guard g(mutex_);
        return loi_;
    }

private:
    void run() {
        std::unique_lock g(mutex_);
        for (;;) {
            cv_.wait(g, [this] { return wanted_ || quit_; });
            if (quit_) return;
            const pid_t pid = ::fork();
            if (pid == 0) {
                // A trial's lock screen ends with the daemon, whichever way the daemon ends.
                ::setsid();
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                ::execl("/bin/sh", "sh", "-c", command_.c_str(), static_cast<char*>(nullptr));
                ::_exit(127);
            }
            if (pid < 0) {
                loi_ = std::strerror(errno);
                return;
            }
            pid_ = pid;
            loi_.clear();
            g.unlock();
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            g.lock();
            pid_ = -1;
            if (wanted_ && !quit_) {
                log_("Màn hình khoá đã tắt — mở lại");
                // A command that cannot start must not spin the daemon.
                cv_.wait_for(g, std::chrono::milliseconds(100), [this] { return quit_; });
            }
        }
    }

    const std::string command_;
    Log log_;
    mutable std::mutex mutex_; // guards everything below
    std::condition_variable cv_;
    bool wanted_ = false;
    bool quit_ = false;
    pid_t pid_ = -1;
    std::string loi_;
    std::thread thread_;
};

} // namespace

std::unique_ptr<LockLauncher> LockLauncher::systemd(Log log) {
    return std::make_unique<SystemdLauncher>(std::move(log));
}

std::unique_ptr<LockLauncher> LockLauncher::command(std::string command, Log log) {
    return std::make_unique<CommandLauncher>(std::move(command), std::move(log));
}

} // namespace tovu
