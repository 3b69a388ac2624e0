#pragma once

#include "Devices.hpp"
#include "Families.hpp"
#include "PushSender.hpp"
#include "Subscriptions.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace tovu::server {

// What reaches the parents with the console closed: a child's request, with buttons that answer
// it; a computer that lost its protection; a computer offline for an hour while the child may
// use it. Each goes to every browser of the family that subscribed.
class Notifier {
public:
    static constexpr std::chrono::seconds lookEvery{30};

    // plainEndpoints: http push endpoints are accepted too (tests against a local endpoint).
    Notifier(Subscriptions& subscriptions, Families& families, Devices& devices, const Clock& clock,
             bool plainEndpoints);
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // The server's public key, the browser's applicationServerKey.
    const std::string& publicKey() const { return keys_.publicKey; }
    // Throws BadInput for a subscription that cannot be used.
    void subscribe(const Parent& parent, const WebPush::Subscription& s);
    void unsubscribe(const Parent& parent, const std::string& endpoint) {
        subscriptions_.remove(parent, endpoint);
    }

    void requestMade(const std::string& requestId);
    // A computer said it is not protected: look now rather than at the next round.
    void lookSoon();

private:
    void tell(const std::string& familyId, const nlohmann::json& message, const std::string& topic,
              int ttlSeconds, bool urgent);
    void watch();

    Subscriptions& subscriptions_;
    Families& families_;
    Devices& devices_;
    const bool plain_;
    const WebPush::Keys keys_;
    PushSender sender_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool soon_ = false;
    std::thread watcher_;
};

} // namespace tovu::server
