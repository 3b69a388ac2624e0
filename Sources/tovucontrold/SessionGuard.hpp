#pragma once

#include "Sessions.hpp"
#include "TovuProtocol/Clock.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovu {

// What the daemon does to the child's sessions while the computer is locked: on the seat with
// consoles, the lock screen is a session of its own that is kept in front of the child's; a
// session it cannot cover (remote, on another seat, or while the lock screen fails to come up)
// is locked by the desktop and ended after a grace. Pure decisions on the times given; not
// thread-safe.
class SessionGuard {
public:
    // From the child's session in front of a locked computer to the lock screen in front.
    static constexpr std::chrono::seconds hanManKhoa{5};

    struct Viec {
        enum class Loai {
            batManKhoa, // start the lock screen's session
            duaLen,     // bring phien to the front of its seat
            tatManKhoa, // stop the lock screen's session
            khoa,       // the desktop's own lock on phien
            ketThuc,    // end phien
            dongTty,    // say why on phien's terminal, then end it
        };
        Loai loai;
        LoginSession phien;
        bool operator==(const Viec&) const = default;
    };

    explicit SessionGuard(std::chrono::seconds grace)
        : grace_(grace) {}

    // What to do now, given every session, the child's and the lock screen's accounts.
    std::vector<Viec> xet(const std::vector<LoginSession>& sessions, std::uint32_t child,
                          std::uint32_t lockUser, bool locked, Time now);
    // When a decision falls due without any change: the lock screen's deadline or a grace.
    std::optional<Time> henTiep() const;
    // Whether the lock screen missed its deadline and the child's session in front is being
    // locked and ended instead.
    bool treHan() const { return treHan_; }

private:
    std::chrono::seconds grace_;
    // The child's session that was in front when the lock screen came, to give it back.
    std::optional<std::string> truoc_;
    // Since when a session of the child has been in front of the locked computer.
    std::optional<Time> canTu_;
    bool treHan_ = false;
    bool batRoi_ = false; // the lock screen was asked to start and not yet to stop
    std::map<std::string, Time> khoaLuc_;
};

// Whole minutes of use, counted while the child uses the computer and booked per day.
class UsedTime {
public:
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
