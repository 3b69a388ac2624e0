#include "support/XServer.hpp"

#include "support/Support.hpp"
#include "support/XClient.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tovu::test {
namespace {

std::vector<std::string> environmentWith(const std::string& display) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (!std::string_view(*e).starts_with("DISPLAY=")) env.emplace_back(*e);
    env.push_back("DISPLAY=" + display);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Forks and execs; in the child only async-signal-safe calls happen before exec.
pid_t spawn(std::vector<std::string> argv, const std::string& display, std::optional<uid_t> uid,
            int keepFd, int stdoutFd) {
    auto env = environmentWith(display);
    auto argp = pointers(argv);
    auto envp = pointers(env);
    int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(devNull, STDIN_FILENO);
        dup2(stdoutFd >= 0 ? stdoutFd : devNull, STDOUT_FILENO);
        if (stdoutFd < 0) dup2(devNull, STDERR_FILENO);
        if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
        if (uid && (setgroups(0, nullptr) != 0 || setgid(*uid) != 0 || setuid(*uid) != 0))
            _exit(126);
        execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(devNull);
    return pid;
}

bool abstractSocketFree(int number) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string name = "/tmp/.X11-unix/X" + std::to_string(number);
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    bool free =
        bind(fd, reinterpret_cast<sockaddr*>(&address),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 0;
    close(fd);
    return free;
}

// A probe window is mapped until it shows in the client list.
bool waitForWindowManager(const std::string& display) {
    XView view(display);
    xcb_connection_t* c = view.connection();
    const xcb_window_t probe = createWindow(c, {{0, 0, 10, 10}});
    auto listed = [&] { return std::ranges::count(view.clients(), probe) > 0; };
    bool managing = false;
    for (int attempt = 0; attempt < 50 && !managing; ++attempt) {
        xcb_unmap_window(c, probe);
        xcb_map_window(c, probe);
        xcb_flush(c);
        managing = waitUntil(listed, std::chrono::milliseconds(200));
    }
    xcb_destroy_window(c, probe);
    xcb_flush(c);
    // Gone from the list again, so that tests see only their own windows.
    return managing && waitUntil([&] { return !listed(); });
}

} // namespace

void XServer::startWindowManager() {
    windowManager_.emplace(std::vector<std::string>{"openbox", "--sm-disable"}, display_);
    if (!waitForWindowManager(display_))
        throw std::runtime_error("openbox did not start on " + display_);
}

Child::Child(const std::vector<std::string>& argv, const std::string& display,
             std::optional<uid_t> uid, int keepFd, int outputFd)
    : pid_(spawn(argv, display, uid, keepFd, outputFd)) {}

Child::~Child() {
    if (status_) return;
    // A polite end first, so that Xvfb removes its lock file and socket.
    kill(pid_, SIGTERM);
    if (!waitUntil([&] { return exited().has_value(); }, std::chrono::seconds(3))) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::optional<int> Child::exited() {
    int status = 0;
    if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_;
}

std::optional<std::string> run(const std::vector<std::string>& argv, const std::string& display) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = spawn(argv, display, std::nullopt, -1, fds[1]);
    close(fds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            out.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return out;
}

XServer::XServer(bool windowManager) {
    // Display numbers are free when no lock file names them and no X server holds their abstract
    // socket, which other file-system namespaces on this machine share with us: Xvfb's own
    // choice looks at lock files only. Without -noreset Xvfb would reset whenever its last
    // client leaves, dropping anyone connecting meanwhile.
    for (int number = 100 + getpid() % 400; display_.empty(); ++number) {
        if (number >= 1000) throw std::runtime_error("no free X display");
        const std::string display = ":" + std::to_string(number);
        if (access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) == 0 ||
            !abstractSocketFree(number))
            continue;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        // The server writes its display number to -displayfd once it accepts clients.
        server_.emplace(std::vector<std::string>{"Xvfb", display, "-screen", "0", "1280x800x24",
                                                 "-nolisten", "tcp", "-noreset", "-displayfd",
                                                 std::to_string(fds[1])},
                        "", std::nullopt, fds[1]);
        close(fds[1]);
        std::string written;
        pollfd pfd{fds[0], POLLIN, 0};
        while (written.find('\n') == std::string::npos && poll(&pfd, 1, 10000) > 0) {
            char buffer[16];
            ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            written.append(buffer, static_cast<std::size_t>(n));
        }
        close(fds[0]);
        if (written.empty() || written.back() != '\n')
            server_.reset();
        else
            display_ = ":" + written.substr(0, written.size() - 1);
    }
    if (windowManager) startWindowManager();
}

} // namespace tovu::test
