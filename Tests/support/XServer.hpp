#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tovu::test {

// A program started for a test, with DISPLAY set to the given display and its output thrown
// away. It is ended and reaped with the object, and dies with the test process if that crashes.
class Child {
public:
    // Its output goes to outputFd when one is given, else nowhere.
    Child(const std::vector<std::string>& argv, const std::string& display,
          std::optional<uid_t> uid = std::nullopt, int keepFd = -1, int outputFd = -1);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // The wait status once the program has ended (it is reaped then), else nothing.
    std::optional<int> exited();

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs a program to its end with DISPLAY set; its standard output, or nothing when it failed.
std::optional<std::string> run(const std::vector<std::string>& argv, const std::string& display);

// An Xvfb server of the test's own with one 1280×800 screen, optionally managed by openbox.
class XServer {
public:
    explicit XServer(bool windowManager);
    // ":N"
    const std::string& display() const { return display_; }

private:
    // Starts openbox and waits until it manages new windows (openbox names itself on the root
    // window a moment before it does, and a window mapped in between stays unmanaged).
    void startWindowManager();

    std::optional<Child> server_;
    // After the server, so that it ends first.
    std::optional<Child> windowManager_;
    std::string display_;
};

} // namespace tovu::test
