#include "PushSender.hpp"

#include "Errors.hpp"

#include <curl/curl.h>
#include <memory>
#include <vector>

namespace tovu::server {
namespace {

struct CurlFree {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

int abandon(void* stopping, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<std::atomic<bool>*>(stopping)->load() ? 1 : 0;
}

} // namespace

PushSender::PushSender(WebPush::Keys keys, const Clock& clock,
                       std::function<void(const std::string&, long)> delivered)
    : keys_(std::move(keys))
    , clock_(clock)
    , delivered_(std::move(delivered)) {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        throw std::runtime_error("libcurl does not start");
    thread_ = std::thread([this] { run(); });
}

PushSender::~PushSender() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool PushSender::send(PushMessage message) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= maxQueued) return false;
        queue_.push_back(std::move(message));
    }
    wake_.notify_one();
    return true;
}

void PushSender::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        const auto message = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        long status = 0;
        try {
            status = deliver(message);
        } catch (const BadInput&) {
            status = 410; // keys that no longer decode are as good as a subscription gone
        }
        delivered_(message.to.endpoint, status);
        lock.lock();
    }
}

long PushSender::deliver(const PushMessage& m) {
    const std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
    if (!curl) return 0;
    const auto body = WebPush::encrypt(m.to, m.payload);
    std::vector<std::string> lines{
        "Content-Encoding: aes128gcm", "Content-Type: application/octet-stream",
        "TTL: " + std::to_string(m.ttlSeconds),
        std::string("Urgency: ") + (m.urgent ? "high" : "normal"),
        "Authorization: " + WebPush::authorization(keys_, m.to.endpoint, clock_.now())};
    if (!m.topic.empty()) lines.push_back("Topic: " + m.topic);
    curl_slist* list = nullptr;
    for (const auto& line : lines) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (!grown) {
            curl_slist_free_all(list);
            return 0;
        }
        list = grown;
    }
    const std::unique_ptr<curl_slist, CurlFree> headers(list);
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, m.to.endpoint.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 15L);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, abandon);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &stopping_);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    long status = 0;
    if (curl_easy_perform(c) == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

} // namespace tovu::server
