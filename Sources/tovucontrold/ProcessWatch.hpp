#pragma once

#include <cstdint>
#include <functional>
#include <thread>

namespace tovu {

// Programs started anywhere on the computer, as the kernel announces them through its process
// connector (root only), on a thread of its own.
class ProcessWatch {
public:
    // started(pid) after each exec; started(0) when events were lost and every process counts
    // as new. Throws std::system_error when the kernel refuses the subscription.
    explicit ProcessWatch(std::function<void(std::int32_t pid)> started);
    ~ProcessWatch();
    ProcessWatch(const ProcessWatch&) = delete;
    ProcessWatch& operator=(const ProcessWatch&) = delete;

private:
    void chay();

    std::function<void(std::int32_t)> started_;
    int socket_ = -1;
    int stop_ = -1;
    std::thread thread_;
};

} // namespace tovu
