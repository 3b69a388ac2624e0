#pragma once

#include "TovuProtocol/Clock.hpp"
#include "TovuProtocol/Models.hpp"
#include "UsageBook.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace tovu {

// The daemon's exchange with the parents' server: sync passes that send the status and the
// usage book and bring back the policy, run back to back on a thread of their own with the
// server's delay between them, at once when a waiting request to the server says the child's
// rules changed, or in the background when something changed here.
class SyncLoop {
public:
    // What a pass asks of the daemon.
    class Host {
    public:
        // A whole copy of the pairing; absent while unpaired.
        virtual std::optional<AgentConfig> cauHinh() = 0;
        // Reads config.json again while unpaired.
        virtual void docLaiCfg() = 0;
        virtual nlohmann::json trangThai() = 0;
        // Saves the daemon's state.
        virtual void luu() = 0;
        // A pass stored a new policy.
        virtual void khiCoPolicy() = 0;
        virtual void log(std::string_view message) const = 0;

    protected:
        ~Host() = default;
    };

    // The last policy the server sent, when, and the day's minutes at that moment.
    struct Fetched {
        Policy policy;
        Time fetchedAt;
        std::int64_t usedAtFetch = 0;

        bool operator==(const Fetched&) const = default;
    };

    SyncLoop(const Clock& clock, Host& host, UsageBook& book, std::optional<Fetched> stored);
    // Stops the loop and waits for it and for a background pass still running.
    ~SyncLoop();
    SyncLoop(const SyncLoop&) = delete;
    SyncLoop& operator=(const SyncLoop&) = delete;

    // One sync pass; returns the delay in seconds before the next one. Never throws.
    int dongBo();
    // Starts a pass on a thread of its own; while one started here runs, one more pass follows
    // it instead.
    void dongBoNen();
    // Runs passes back to back on a thread of its own, each after the delay the last returned or
    // as soon as the server says the rules changed; holds a waiting request to the server on
    // another thread, with the revision of the policy last stored.
    void batDau();

    std::optional<Fetched> fetched() const;
    // Whether the last pass reached the server.
    bool online() const;
    // The last time in a day the server refused some of what a pass sent, and what, for the
    // parents.
    std::optional<std::string> tuChoiCuoi() const;
    // Grows with every stored policy, for the saves.
    std::uint64_t changes() const;

private:
    // What the server refused of a pass: logged, and shown to the parents for a day.
    void biTuChoi(const std::string& what);
    void chay();
    void cho();

    const Clock& clock_;
    Host& host_;
    UsageBook& book_;

    mutable std::mutex mutex_; // guards the fields below
    std::condition_variable cv_;
    std::optional<Fetched> fetched_;
    bool online_ = false;
    std::optional<std::pair<std::string, Time>> tuChoi_;
    std::uint64_t changes_ = 0; // policies stored
    // The revision of the policy stored last, when the server gives one.
    std::optional<std::int64_t> revision_;
    bool thuc_ = false; // the server said the rules changed: a pass is due now
    bool dung_ = false;
    std::atomic<bool> huy_{false}; // ends a waiting request
    std::thread loop_, wait_;

    std::mutex nenMutex_; // guards nen_, nenDangChay_ and nenLai_
    std::thread nen_;
    bool nenDangChay_ = false;
    bool nenLai_ = false;
};

} // namespace tovu
