#include "Hub.hpp"

#include "Topics.hpp"
#include "TovuProtocol/Contract.hpp"
#include "TovuProtocol/Json.hpp"
#include "TovuProtocol/Models.hpp"

#include <algorithm>
#include <charconv>

namespace tovu::server {
namespace {

using namespace std::chrono_literals;

// A revision heard this long ago serves no wait begun since.
constexpr auto revisionKept = 1min;

void answer(Http::Stream& stream, bool changed, std::int64_t revision) {
    stream.write(Json::encode(WakeUp{changed, revision}));
    stream.end();
}

} // namespace

struct Hub::Seats {
    std::mutex mutex;
    std::map<std::string, std::size_t> families, parents;
};

class Hub::Seat {
public:
    Seat(std::shared_ptr<Seats> seats, std::string familyId, std::string parentId)
        : familyId(std::move(familyId))
        , parentId(std::move(parentId))
        , seats_(std::move(seats)) {}

    ~Seat() {
        std::lock_guard lock(seats_->mutex);
        for (auto [map, key] :
             {std::pair{&seats_->families, &familyId}, {&seats_->parents, &parentId}})
            if (--(*map)[*key] == 0) map->erase(*key);
    }

    const std::string familyId;
    const std::string parentId;

private:
    std::shared_ptr<Seats> seats_;
};

Hub::Hub(Database& db, EventsAfter eventsAfter)
    : eventsAfter_(std::move(eventsAfter))
    , seats_(std::make_shared<Seats>()) {
    db.listen([this](const std::string& topic) {
        {
            std::lock_guard lock(mutex_);
            topics_.push_back(topic);
        }
        woken_.notify_one();
    });
    thread_ = std::thread([this] { run(); });
}

Hub::~Hub() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    woken_.notify_one();
    thread_.join();
}

void Hub::wait(const std::string& childId, std::int64_t revision,
               std::shared_ptr<Http::Stream> stream) {
    std::lock_guard lock(mutex_);
    // A change heard between the handler's look at the database and now.
    if (const auto it = revisions_.find(childId);
        it != revisions_.end() && it->second.revision > revision)
        return answer(*stream, true, it->second.revision);
    const auto now = Clock::now();
    waits_[childId].push_back(
        {revision, std::move(stream), now + Contract::longestWait, now + Contract::waitHeartbeat});
}

std::shared_ptr<Hub::Seat> Hub::seat(const std::string& familyId, const std::string& parentId) {
    std::lock_guard lock(seats_->mutex);
    auto& family = seats_->families[familyId];
    auto& parent = seats_->parents[parentId];
    if (family >= streamsPerFamily || parent >= streamsPerParent) {
        if (family == 0) seats_->families.erase(familyId);
        if (parent == 0) seats_->parents.erase(parentId);
        return nullptr;
    }
    ++family;
    ++parent;
    return std::make_shared<Seat>(seats_, familyId, parentId);
}

void Hub::watch(std::shared_ptr<Seat> seat, std::int64_t lastEvent,
                std::shared_ptr<Http::Stream> stream) {
    // The first ping tells the browser the stream is open.
    stream->write(": ping\n\n");
    const auto familyId = seat->familyId;
    {
        std::lock_guard lock(mutex_);
        consoles_[familyId].push_back(
            {std::move(seat), lastEvent, std::move(stream), Clock::now() + consoleHeartbeat});
        // Events written before the stream was in the list.
        topics_.push_back(Topics::family(familyId));
    }
    woken_.notify_one();
}

void Hub::run() {
    std::unique_lock lock(mutex_);
    auto tick = Clock::now();
    while (!stopping_) {
        woken_.wait_until(lock, tick, [&] { return stopping_ || !topics_.empty(); });
        std::vector<std::string> families;
        while (!topics_.empty()) {
            const auto topic = std::move(topics_.front());
            topics_.pop_front();
            heard(topic, families);
        }
        std::sort(families.begin(), families.end());
        families.erase(std::unique(families.begin(), families.end()), families.end());
        for (const auto& family : families)
            deliver(family, lock);
        if (const auto now = Clock::now(); now >= tick) {
            sweep(now);
            tick = now + 1s;
        }
    }
    waits_.clear();
    consoles_.clear();
}

void Hub::heard(const std::string& topic, std::vector<std::string>& families) {
    if (topic == "*") {
        // Notifications were lost: every wait is answered, and comes back to look afresh.
        for (auto& [child, waiters] : waits_)
            for (auto& w : waiters)
                answer(*w.stream, false, w.revision);
        waits_.clear();
        for (const auto& [family, consoles] : consoles_)
            families.push_back(family);
        return;
    }
    const auto space = topic.find(' ', 2);
    if (topic.starts_with("f ")) {
        families.push_back(topic.substr(2));
    } else if (topic.starts_with("c ") && space != std::string::npos) {
        std::int64_t revision = 0;
        const auto* end = topic.data() + topic.size();
        if (std::from_chars(topic.data() + space + 1, end, revision).ptr != end) return;
        wake(topic.substr(2, space - 2), revision);
    }
}

void Hub::wake(const std::string& childId, std::int64_t revision) {
    auto& latest = revisions_[childId];
    latest = {std::max(latest.revision, revision), Clock::now()};
    const auto it = waits_.find(childId);
    if (it == waits_.end()) return;
    auto& waiters = it->second;
    std::erase_if(waiters, [&](const Waiter& w) {
        if (w.revision >= latest.revision) return false;
        answer(*w.stream, true, latest.revision);
        return true;
    });
    if (waiters.empty()) waits_.erase(it);
}

void Hub::sweep(Clock::time_point now) {
    for (auto it = waits_.begin(); it != waits_.end();) {
        std::erase_if(it->second, [&](Waiter& w) {
            if (w.stream->gone()) return true;
            if (now >= w.until) {
                answer(*w.stream, false, w.revision);
                return true;
            }
            if (now >= w.beat) {
                w.stream->write(" ");
                w.beat = now + Contract::waitHeartbeat;
            }
            return false;
        });
        it = it->second.empty() ? waits_.erase(it) : std::next(it);
    }
    std::erase_if(revisions_, [&](const auto& r) { return now - r.second.at > revisionKept; });
    for (auto it = consoles_.begin(); it != consoles_.end();) {
        std::erase_if(it->second, [&](Console& c) {
            if (c.stream->gone()) return true;
            if (now >= c.beat) {
                c.stream->write(": ping\n\n");
                c.beat = now + consoleHeartbeat;
            }
            return false;
        });
        it = it->second.empty() ? consoles_.erase(it) : std::next(it);
    }
}

void Hub::deliver(const std::string& familyId, std::unique_lock<std::mutex>& lock) {
    const auto it = consoles_.find(familyId);
    if (it == consoles_.end()) return;
    std::int64_t from = it->second.front().last;
    for (const auto& c : it->second)
        from = std::min(from, c.last);
    std::vector<Event> events;
    lock.unlock();
    try {
        events = eventsAfter_(familyId, from);
    } catch (const DatabaseError& e) {
        // The consoles hear of these with the family's next event.
        Http::log(std::string("Lỗi cơ sở dữ liệu: ") + e.what());
    }
    lock.lock();
    const auto now = consoles_.find(familyId);
    if (now == consoles_.end()) return;
    for (auto& c : now->second) {
        std::string out;
        for (const auto& e : events)
            if (e.id > c.last) {
                out += "event: " + e.kind + "\ndata: " + e.data + "\n\n";
                c.last = e.id;
            }
        if (!out.empty()) c.stream->write(std::move(out));
    }
}

} // namespace tovu::server
