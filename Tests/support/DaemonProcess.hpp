#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

namespace tovu::test {

// The built tovucontrold running with the given TOVUC_* variables (the test's own are not
// passed on); its standard error is collected. Killed and reaped with the object, and killed
// with the test process if that crashes.
class DaemonProcess {
public:
    DaemonProcess(const std::string& program, const std::map<std::string, std::string>& env);
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    pid_t pid() const { return pid_; }
    std::string log() const;
    bool waitForLog(const std::string& text,
                    std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
    // The wait status once the process has ended.
    int wait();
    // SIGTERM, then the wait status.
    int terminate();

private:
    pid_t pid_ = -1;
    mutable std::mutex mutex_;
    std::string log_;
    std::thread reader_;
};

// One exchange over the socket at path from a process running as uid and its primary group:
// line is sent as it is, and the answer comes back as received.
std::string exchangeAs(std::uint32_t uid, const std::string& path, const std::string& line);

} // namespace tovu::test
