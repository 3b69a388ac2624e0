#pragma once

#include "TovuProtocol/Clock.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>

namespace tovu::test {

// A clock the test sets by hand.
class ManualClock final : public Clock {
public:
    explicit ManualClock(Time start)
        : now_(start) {}
    Time now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void advance(std::chrono::system_clock::duration d) {
        std::lock_guard lock(mutex_);
        now_ += d;
    }

private:
    mutable std::mutex mutex_;
    Time now_;
};

// A fresh directory under /tmp, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Sets (or unsets, with nullopt) an environment variable for the life of the object, and
// re-reads the time zone so that TZ changes take effect.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Creates the file (and its folders) with text in it.
void writeFile(const std::filesystem::path& path, const std::string& text);
// The file's whole text, or "<missing>".
std::string readFile(const std::filesystem::path& path);

// A throw-away account made with the useradd options, deleted at the end of the test. Without
// options: a person's login (uid from UID_MIN up). Needs root.
struct TempAccount {
    explicit TempAccount(const std::string& options = "");
    ~TempAccount();
    TempAccount(const TempAccount&) = delete;
    TempAccount& operator=(const TempAccount&) = delete;

    std::string name;
};

// Polls cond until it holds or the deadline passes; returns whether it held.
bool waitUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Waits until the process runs program (its command line starts with it): a child just forked
// runs the test's own program for a moment, and its arguments come a moment after its executable.
bool waitForExec(pid_t pid, const std::string& program);

// A local time in the current TZ (tm_isdst chosen by the system).
Time localTime(int year, int month, int day, int hour, int minute, int second = 0);

// A UTC time.
Time utcTime(int year, int month, int day, int hour, int minute, int second = 0);

} // namespace tovu::test
