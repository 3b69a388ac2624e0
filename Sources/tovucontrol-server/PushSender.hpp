#pragma once

#include "WebPush.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tovu::server {

// One message for one browser.
struct PushMessage {
    WebPush::Subscription to;
    std::string payload; // JSON text, encrypted on the way
    std::string topic;   // a newer message of the same topic replaces one still undelivered
    int ttlSeconds = 3600;
    bool urgent = false;
};

// Delivers push messages to the browsers' push services (RFC 8030), one at a time on its own
// thread, so that no request of a parent or a computer waits for a push service.
class PushSender {
public:
    static constexpr std::size_t maxQueued = 1000;

    // delivered: called on the sender's thread with each message's endpoint and the push
    // service's HTTP status (0 when it could not be reached).
    PushSender(WebPush::Keys keys, const Clock& clock,
               std::function<void(const std::string& endpoint, long status)> delivered);
    ~PushSender();
    PushSender(const PushSender&) = delete;
    PushSender& operator=(const PushSender&) = delete;

    // False when the queue is full and the message was dropped.
    bool send(PushMessage message);

private:
    void run();
    long deliver(const PushMessage& message);

    const WebPush::Keys keys_;
    const Clock& clock_;
    const std::function<void(const std::string&, long)> delivered_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<PushMessage> queue_;
    std::atomic<bool> stopping_ = false; // also ends a delivery under way
    std::thread thread_;
};

} // namespace tovu::server
