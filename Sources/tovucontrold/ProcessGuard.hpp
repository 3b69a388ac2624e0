#pragma once

#include "ProcessWatch.hpp"
#include "TovuCore/AppIdentity.hpp"
#include "TovuCore/Ipc.hpp"
#include "TovuProtocol/Models.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tovu {

// Ends the child's programs that the policy does not let run, as they start and when a rule
// starts: installed apps it refuses, and any program the child could have written (a file of
// theirs, a memfd, a script of theirs under an interpreter) unless the parents allowed that
// path. An allowed app counts as allowed only while nothing it runs was put there by the child:
// no loader or interpreter variable that brings in code, no executable mapping of a file the
// child can write (looked at again once the loader has run), no tracer. The desktop's own
// components are left alone.
class ProcessGuard {
public:
    using Log = std::function<void(std::string_view message)>;
    // From a program's start to the second look, when its loader has mapped what it loads.
    static constexpr std::chrono::milliseconds sauKhiNap{100};

    ProcessGuard(std::vector<std::string> dataDirs, Log log);
    ~ProcessGuard();
    ProcessGuard(const ProcessGuard&) = delete;
    ProcessGuard& operator=(const ProcessGuard&) = delete;

    // Holds policy over the processes of uid from now on, those running included; absent (or
    // root): stop watching. Called from one thread.
    void apDung(const std::optional<Policy>& policy, std::uint32_t uid);
    // Why new programs cannot be watched; absent while they can.
    std::optional<std::string> loi() const;
    // The last program ended, absent before any.
    std::optional<EndedApp> daDong() const;

    // Why the process may not run under policy as the child uid (in groups), or absent when it
    // may. app is its identity.
    static std::optional<std::string> lyDoDong(std::int32_t pid, const AppIdentity& app,
                                               const Policy& policy, std::uint32_t uid,
                                               const std::vector<gid_t>& groups);

private:
    void xet(std::int32_t pid, bool again);
    void quet();
    void sau();

    std::vector<std::string> dataDirs_;
    Log log_;
    mutable std::mutex mutex_; // guards everything below but watch_
    std::optional<Policy> policy_;
    std::uint32_t uid_ = 0;
    std::vector<gid_t> groups_;
    std::shared_ptr<const AppCatalog> catalog_;
    std::optional<std::string> loi_;
    std::optional<EndedApp> daDong_;
    // Programs to look at again, by when.
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::int32_t>> again_;
    std::condition_variable cv_;
    bool quit_ = false;
    std::thread later_;
    std::unique_ptr<ProcessWatch> watch_;
};

} // namespace tovu
