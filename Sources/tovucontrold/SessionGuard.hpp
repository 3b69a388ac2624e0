#pragma once

#include "Sessions.hpp"
#include "TovuProtocol/Clock.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tovu {

// Which of the child's sessions a live agent covers, and what the daemon does to the others
// while the computer is locked. Pure decisions on the times given; not thread-safe.
class SessionGuard {
public:
    // An agent that has not called for this long no longer guards its session.
    static constexpr std::chrono::seconds hanGoi{15};

    explicit SessionGuard(std::chrono::seconds grace)
        : grace_(grace) {}

    // A call from the real agent running in session id, holding the X display; true when it
    // was not guarding that display until now.
    bool agentGoi(const std::string& id, const std::string& display, Time now);
    bool duocBaoVe(const LoginSession& s, Time now) const;

    struct Viec {
        enum class Loai { khoa, ketThuc, dongTty };
        Loai loai;
        LoginSession phien;
        bool operator==(const Viec&) const = default;
    };
    // What to do now to the child's sessions; remembers which were locked and when.
    std::vector<Viec> xet(const std::vector<LoginSession>& sessions, bool locked, Time now);
    // Whether an active session goes without a live agent.
    bool coPhienHo(const std::vector<LoginSession>& sessions, Time now) const;
    // Whether the child uses a session no agent counts while no guarded session is in front,
    // where the agent already counts.
    bool demRieng(const std::vector<LoginSession>& sessions, Time now) const;
    // When a session's guard lapses or a lock's grace ends, whichever comes first.
    std::optional<Time> henTiep(const std::vector<LoginSession>& sessions, Time now) const;

private:
    struct Goi {
        Time luc;
        std::string display;
    };
    std::chrono::seconds grace_;
    std::map<std::string, Goi> agents_;
    std::map<std::string, Time> khoaLuc_;
};

// Minutes of use in sessions no agent counts, booked per day under the daemon's own app id.
class UnguardedTime {
public:
    static constexpr const char* appId = "vn.morvane.tovucontrold.phien";
    static constexpr const char* appName = "Phiên không có TovuControl";

    // Counts the time since the last call when counting was on then; returns the day's whole
    // minutes when they grew. stored: the day's minutes already booked, read at a day's start.
    std::optional<std::int64_t> dem(bool counting, Time now, const std::string& day,
                                    std::int64_t stored);
    // When the next whole minute completes while counting goes on.
    std::optional<Time> henTiep(Time now) const;

private:
    std::optional<Time> from_; // counting since
    std::string day_;
    std::chrono::seconds seconds_{0};
    std::int64_t booked_ = 0;
};

} // namespace tovu
