#pragma once

#include "TovuProtocol/Models.hpp"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tovu {

// Seconds each app spends in front, per local calendar day. Used from one thread at a time.
class UsageTracker {
public:
    struct DangMo {
        std::string id;
        Time tu;
        bool operator==(const DangMo&) const = default;
    };
    using Giay = std::map<std::string, std::map<std::string, double>>;

    // Day key "yyyy-MM-dd" of t in the process's local time zone (TZ honoured).
    static std::string ngay(Time t);

    // The front app changed to id (absent: nothing in front) at luc.
    void doiApp(const std::optional<std::string>& id, const std::optional<std::string>& ten,
                Time luc);
    // Books [tu, den) to id, split at local midnights.
    void cong(const std::string& id, Time tu, Time den);
    // Books the open interval up to luc and keeps the app open from there.
    void chot(Time luc);
    // That day's whole minutes per app (apps under a minute left out), sorted by appId.
    std::vector<UsageEntry> entries(const std::string& ngay) const;
    // Merges stored entries: each day/app keeps the larger of the two amounts.
    void khoiPhuc(const std::vector<UsageEntry>& list);

    const Giay& giay() const { return giay_; }
    const std::map<std::string, std::string>& ten() const { return ten_; }
    const std::optional<DangMo>& dangMo() const { return dangMo_; }

private:
    Giay giay_;
    std::map<std::string, std::string> ten_;
    std::optional<DangMo> dangMo_;
};

} // namespace tovu
