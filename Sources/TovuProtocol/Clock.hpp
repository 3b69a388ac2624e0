#pragma once

#include <chrono>

namespace tovu {

using Time = std::chrono::system_clock::time_point;

// Every piece of code that asks for "now" takes it from a Clock, so tests can cross
// midnight, daylight-saving changes and grant ends without waiting.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Time now() const = 0;
};

class SystemClock final : public Clock {
public:
    Time now() const override { return std::chrono::system_clock::now(); }
    static const SystemClock& shared();
};

} // namespace tovu
