#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tovu::test {

// A built program (tovucontrold, the parents' server) running with the given TOVUC_* variables (the
// test's own are not passed on); its standard error is collected. Killed and reaped with the
// object, and killed with the test process if that crashes.
class DaemonProcess {
public:
    DaemonProcess(const std::string& program, const std::map<std::string, std::string>& env,
                  const std::vector<std::string>& args = {});
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

} // namespace tovu::test
