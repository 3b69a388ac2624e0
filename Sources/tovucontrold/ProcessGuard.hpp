#pragma once

#include "ProcessWatch.hpp"
#include "TovuCore/AppIdentity.hpp"
#include "TovuProtocol/Models.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovu {

// Ends the child's installed apps that the policy does not let stay open, as they start, where
// no agent does it. Programs that match no installed app and the desktop's own components are
// left alone: without their windows they cannot be told from the session's own services.
class ProcessGuard {
public:
    using Log = std::function<void(std::string_view message)>;

    ProcessGuard(std::vector<std::string> dataDirs, Log log);
    ~ProcessGuard();
    ProcessGuard(const ProcessGuard&) = delete;
    ProcessGuard& operator=(const ProcessGuard&) = delete;

    // Holds policy over the processes of uid from now on, those running included; absent: stop
    // watching. Called from one thread.
    void apDung(const std::optional<Policy>& policy, std::uint32_t uid);

private:
    void xet(std::int32_t pid);
    void quet();

    std::vector<std::string> dataDirs_;
    Log log_;
    std::mutex khoa_; // guards policy_, uid_ and catalog_
    std::optional<Policy> policy_;
    std::uint32_t uid_ = 0;
    std::shared_ptr<const AppCatalog> catalog_;
    std::unique_ptr<ProcessWatch> watch_;
    bool logged_ = false;
};

} // namespace tovu
