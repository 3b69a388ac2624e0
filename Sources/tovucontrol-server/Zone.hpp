#pragma once

#include "TovuProtocol/Clock.hpp"

#include <string>
#include <string_view>

namespace tovu::server {

// A moment as the family's wall clock shows it.
struct LocalTime {
    std::string day;     // "yyyy-MM-dd"
    int weekday = 0;     // 0 = Monday
    int minuteOfDay = 0; // 0 to 1439
};

namespace Zone {

// Whether the name is a time zone of the system's database ("Asia/Ho_Chi_Minh", "UTC").
bool valid(std::string_view name);
LocalTime local(Time t, const std::string& zone);
// The day key `days` days after `day` (negative: before).
std::string addDays(const std::string& day, int days);

} // namespace Zone
} // namespace tovu::server
