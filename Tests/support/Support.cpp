#include "support/Support.hpp"

#include "TovuCore/Paths.hpp"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace tovu::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tovu-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value)
        setenv(name_.c_str(), value->c_str(), 1);
    else
        unsetenv(name_.c_str());
    tzset();
}

ScopedEnv::~ScopedEnv() {
    if (old_)
        setenv(name_.c_str(), old_->c_str(), 1);
    else
        unsetenv(name_.c_str());
    tzset();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string readFile(const std::filesystem::path& path) {
    return FileIO::readText(path.string()).value_or("<missing>");
}

TempAccount::TempAccount(const std::string& options) {
    static std::atomic<int> count = 0;
    name = "tovut" + std::to_string(::getpid()) + "x" + std::to_string(count++);
    const std::string command = "useradd -M -N -s /usr/sbin/nologin " + options + " " + name;
    // Another test may hold the lock of /etc/passwd for a moment.
    if (!waitUntil([&] { return std::system(command.c_str()) == 0; }))
        throw std::runtime_error(command + " failed");
}

TempAccount::~TempAccount() {
    waitUntil([&] { return std::system(("userdel " + name).c_str()) == 0; });
}

bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool waitForExec(pid_t pid, const std::string& program) {
    return waitUntil([&] {
        std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
        return std::string(std::istreambuf_iterator<char>(in), {}).starts_with(program);
    });
}

namespace {
std::tm civil(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return tm;
}
} // namespace

Time localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm = civil(year, month, day, hour, minute, second);
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

Time utcTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm = civil(year, month, day, hour, minute, second);
    return std::chrono::system_clock::from_time_t(timegm(&tm));
}

} // namespace tovu::test
