#include "support/DaemonProcess.hpp"

#include "support/Support.hpp"

#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <string_view>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tovu::test {

DaemonProcess::DaemonProcess(const std::string& program,
                             const std::map<std::string, std::string>& env,
                             const std::vector<std::string>& args) {
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e)
        if (!std::string_view(*e).starts_with("TOVUC_")) vars.emplace_back(*e);
    for (const auto& [name, value] : env)
        vars.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& v : vars)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // Only system calls from here on: the test process has other threads.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(fds[1], STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            std::lock_guard g(mutex_);
            log_.append(buf, static_cast<std::size_t>(n));
        }
        close(fd);
    });
}

DaemonProcess::~DaemonProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    reader_.join();
}

std::string DaemonProcess::log() const {
    std::lock_guard g(mutex_);
    return log_;
}

bool DaemonProcess::waitForLog(const std::string& text, std::chrono::milliseconds deadline) const {
    return waitUntil([&] { return log().find(text) != std::string::npos; }, deadline);
}

int DaemonProcess::wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
}

int DaemonProcess::terminate() {
    kill(pid_, SIGTERM);
    return wait();
}

} // namespace tovu::test
