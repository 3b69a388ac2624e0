#include "Zone.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>

namespace tovu::server::Zone {
namespace {

// glibc converts through the process's TZ only, so conversions take turns.
std::mutex zoneMutex;
std::string currentZone;

std::string dayKey(std::chrono::year_month_day d) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(d.year()),
                  static_cast<unsigned>(d.month()), static_cast<unsigned>(d.day()));
    return text;
}

} // namespace

bool valid(std::string_view name) {
    if (name.empty() || name.size() > 64 || name.front() == '/' ||
        name.find("..") != std::string_view::npos)
        return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '_' || c == '-' ||
              c == '+'))
            return false;
    std::error_code ec;
    return std::filesystem::is_regular_file(
        std::filesystem::path("/usr/share/zoneinfo") / std::string(name), ec);
}

LocalTime local(Time t, const std::string& zone) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    {
        std::lock_guard lock(zoneMutex);
        if (zone != currentZone) {
            setenv("TZ", (":" + zone).c_str(), 1);
            tzset();
            currentZone = zone;
        }
        localtime_r(&secs, &tm);
    }
    const std::chrono::year_month_day d{std::chrono::year(tm.tm_year + 1900),
                                        std::chrono::month(static_cast<unsigned>(tm.tm_mon + 1)),
                                        std::chrono::day(static_cast<unsigned>(tm.tm_mday))};
    return {dayKey(d), (tm.tm_wday + 6) % 7, tm.tm_hour * 60 + tm.tm_min};
}

std::string addDays(const std::string& day, int days) {
    int y = 0;
    unsigned m = 0, d = 0;
    if (std::sscanf(day.c_str(), "%d-%u-%u", &y, &m, &d) != 3) return day;
    const std::chrono::sys_days base{std::chrono::year(y) / std::chrono::month(m) /
                                     std::chrono::day(d)};
    return dayKey(std::chrono::year_month_day(base + std::chrono::days(days)));
}

std::string iso(Time t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

} // namespace tovu::server::Zone
