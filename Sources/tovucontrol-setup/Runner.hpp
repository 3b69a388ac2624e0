#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tovu {

struct RunResult {
    // Exit status; 128 + the signal for a killed process; -1 when it could not start.
    std::int32_t status = 0;
    // Standard output and standard error together, in the order written; the launch error when
    // the program could not start; empty when the output is not UTF-8.
    std::string output;

    bool operator==(const RunResult&) const = default;
};

// Runs the system's tools (systemctl, dconf). Tests record the calls instead.
class Runner {
public:
    virtual ~Runner() = default;
    // Runs the program at path with args and waits for it. Never throws, never prints.
    virtual RunResult chay(const std::string& path, const std::vector<std::string>& args) = 0;
};

// Runs real processes, with standard input from /dev/null.
class ProcessRunner final : public Runner {
public:
    RunResult chay(const std::string& path, const std::vector<std::string>& args) override;
};

} // namespace tovu
