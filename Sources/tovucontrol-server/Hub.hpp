#pragma once

#include "Database.hpp"
#include "Events.hpp"
#include "Http.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tovu::server {

// Who is waiting to hear of a change, and telling them: the computers of each child, each
// holding a wait, and the consoles of each family, each holding an event stream. Changes come
// as the database's notifications, from this server process or another on the same database;
// one thread of the hub's own writes to the waiting streams.
class Hub {
public:
    using EventsAfter =
        std::function<std::vector<Event>(const std::string& familyId, std::int64_t after)>;

    static constexpr std::size_t streamsPerParent = 8;
    static constexpr std::size_t streamsPerFamily = 16;
    static constexpr std::chrono::seconds consoleHeartbeat{15};

    Hub(Database& db, EventsAfter eventsAfter);
    ~Hub();

    // The stream gets {"changed":true,"revision":N} and ends as soon as the child's rules pass
    // revision, or {"changed":false,"revision":revision} after Contract::longestWait; a space
    // every Contract::waitHeartbeat meanwhile.
    void wait(const std::string& childId, std::int64_t revision,
              std::shared_ptr<Http::Stream> stream);

    // A console's place among the streams of its family and of its parent; freed with it.
    class Seat;
    // Absent when the parent or the family has every stream it may have open.
    std::shared_ptr<Seat> seat(const std::string& familyId, const std::string& parentId);
    // The stream gets the family's events after lastEvent as they come, and a ping every
    // consoleHeartbeat.
    void watch(std::shared_ptr<Seat> seat, std::int64_t lastEvent,
               std::shared_ptr<Http::Stream> stream);

private:
    using Clock = std::chrono::steady_clock;
    struct Seats;
    struct Waiter {
        std::int64_t revision;
        std::shared_ptr<Http::Stream> stream;
        Clock::time_point until, beat;
    };
    struct Console {
        std::shared_ptr<Seat> seat;
        std::int64_t last;
        std::shared_ptr<Http::Stream> stream;
        Clock::time_point beat;
    };
    struct Heard {
        std::int64_t revision;
        Clock::time_point at;
    };

    void run();
    // Each under mutex_.
    void heard(const std::string& topic, std::vector<std::string>& families);
    void wake(const std::string& childId, std::int64_t revision);
    void sweep(Clock::time_point now);
    // Reads the family's new events without the lock and hands them out.
    void deliver(const std::string& familyId, std::unique_lock<std::mutex>& lock);

    EventsAfter eventsAfter_;
    std::shared_ptr<Seats> seats_;
    std::mutex mutex_;
    std::condition_variable woken_;
    std::deque<std::string> topics_;                   // heard, not yet handled
    std::unordered_map<std::string, Heard> revisions_; // the latest heard of each child
    std::unordered_map<std::string, std::vector<Waiter>> waits_;
    std::map<std::string, std::vector<Console>> consoles_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace tovu::server
