#include "Api.hpp"

#include "Paths.hpp"
#include "platform/Platform.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <curl/curl.h>
#include <memory>
#include <new>

namespace tovu {

namespace {

constexpr const char* badAddress = "Địa chỉ máy chủ sai";
constexpr const char* serverFailed = "Máy chủ trả lỗi";
constexpr int maxRedirects = 5;

struct CurlFree {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    void operator()(char* text) const { curl_free(text); }
};
template <class T> using CurlPtr = std::unique_ptr<T, CurlFree>;

// libcurl is set up once, before the first handle. It is never torn down: handles of other
// threads may outlive the static objects.
void initCurl() {
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (rc != CURLE_OK) throw TransportError(curl_easy_strerror(rc));
}

// One handle per thread, kept for the thread's life: its connection, DNS and TLS session caches
// survive curl_easy_reset, so a thread's calls reuse connections without any lock.
CURL* threadHandle() {
    initCurl();
    thread_local CurlPtr<CURL> handle(curl_easy_init());
    if (!handle) throw std::bad_alloc();
    return handle.get();
}

// Leaves the thread's handle clean, so no option points at a buffer of a finished call.
struct Transfer {
    CURL* handle = threadHandle();
    ~Transfer() { curl_easy_reset(handle); }
    template <class V> void set(CURLoption option, V value) {
        if (CURLcode rc = curl_easy_setopt(handle, option, value); rc != CURLE_OK)
            throw TransportError(curl_easy_strerror(rc));
    }
};

// Only http and https: a configured address such as file:///etc/shadow must never make the
// daemon read local files.
CurlPtr<CURLU> parseUrl(const std::string& text) {
    CurlPtr<CURLU> url(curl_url());
    if (!url) throw std::bad_alloc();
    char* raw = nullptr;
    bool parsed = curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) == CURLUE_OK &&
                  curl_url_get(url.get(), CURLUPART_SCHEME, &raw, 0) == CURLUE_OK;
    CurlPtr<char> scheme(raw);
    if (!parsed || !(curl_strequal(scheme.get(), "http") || curl_strequal(scheme.get(), "https")))
        throw ApiError(std::nullopt, badAddress);
    return url;
}

void appendHeader(CurlPtr<curl_slist>& list, const std::string& header) {
    curl_slist* grown = curl_slist_append(list.get(), header.c_str());
    if (!grown) throw std::bad_alloc();
    if (!list) list.reset(grown); // later appends return the same head
}

// Ends a transfer once no byte has moved either way for limit, connecting included. curl's own
// low-speed check averages over several seconds and would give up only after ~27 s.
struct Activity {
    std::chrono::seconds limit;
    const std::atomic<bool>* cancelled = nullptr;
    curl_off_t bytes = 0;
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
    bool expired = false;
};

int checkActivity(void* data, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto& activity = *static_cast<Activity*>(data);
    auto now = std::chrono::steady_clock::now();
    if (downloaded + uploaded != activity.bytes) {
        activity.bytes = downloaded + uploaded;
        activity.since = now;
    }
    activity.expired = now - activity.since >= activity.limit;
    return activity.expired || (activity.cancelled && *activity.cancelled) ? 1 : 0;
}

std::string failureText(CURLcode rc, const char* error, const Activity& activity) {
    if (activity.expired)
        return "Operation timed out after " + std::to_string(activity.limit.count()) +
               " seconds without data";
    return error[0] ? error : curl_easy_strerror(rc);
}

size_t appendBody(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// The text under "message" when the body is a JSON object holding one.
std::string errorMessage(const std::string& body) {
    auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_object())
        if (auto it = json.find("message"); it != json.end() && it->is_string())
            return it->get<std::string>();
    return serverFailed;
}

bool isAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Percent-encodes one path segment. Unlike the plain path set, "/" and the dots of "." and ".."
// are encoded too: the id comes from the child's side and must not reach another endpoint.
std::string encodeSegment(std::string_view text) {
    constexpr std::string_view kept = "-._~!$&'()*+,;=:@";
    constexpr std::string_view hex = "0123456789ABCDEF";
    bool dotSegment = text == "." || text == "..";
    std::string out;
    for (unsigned char c : text) {
        if (isAsciiAlnum(c) || (!dotSegment && kept.find(static_cast<char>(c)) != kept.npos)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

// White space and line breaks, as trimmed from a typed or pasted address.
constexpr std::string_view blanks[] = {
    " ",      "\t",     "\n",     "\v",     "\f",     "\r",     "\u0085", "\u00A0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
    "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

std::string_view trim(std::string_view text) {
    for (bool trimmed = true; trimmed;) {
        trimmed = false;
        for (std::string_view blank : blanks) {
            if (text.starts_with(blank)) {
                text.remove_prefix(blank.size());
                trimmed = true;
            }
            if (text.ends_with(blank)) {
                text.remove_suffix(blank.size());
                trimmed = true;
            }
        }
    }
    return text;
}

// The parts of an address that tell one server from another.
struct Origin {
    std::string scheme, host, port;
};

// The origin of an http or https address; empty parts when it is not one.
Origin originOf(const std::string& address) {
    Origin origin;
    CurlPtr<CURLU> url(curl_url());
    if (!url) throw std::bad_alloc();
    if (curl_url_set(url.get(), CURLUPART_URL, address.c_str(), 0) != CURLUE_OK) return origin;
    for (auto [part, text, flags] :
         {std::tuple{CURLUPART_SCHEME, &origin.scheme, 0u},
          {CURLUPART_HOST, &origin.host, 0u},
          {CURLUPART_PORT, &origin.port, unsigned(CURLU_DEFAULT_PORT)}}) {
        char* raw = nullptr;
        curl_url_get(url.get(), part, &raw, flags);
        CurlPtr<char> value(raw);
        if (value) *text = value.get();
    }
    std::transform(origin.host.begin(), origin.host.end(), origin.host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return origin;
}

// The address a redirect leads to: http or https only, never a file.
CurlPtr<CURLU> redirectUrl(const std::string& location) {
    try {
        return parseUrl(location);
    } catch (const ApiError&) {
        throw TransportError("Redirect to an address that is not http or https: " + location);
    }
}

// One request and its answer; a redirect is not followed but its target is returned.
struct Answer {
    int status = 0;
    std::string body;
    std::string location; // absolute; empty unless the answer is a redirect
};

Answer exchange(CURLU* url, const std::string& method, const std::optional<std::string>& payload,
                const std::optional<std::string>& token, std::chrono::seconds inactivity,
                const std::atomic<bool>* cancelled) {
    CurlPtr<curl_slist> headers;
    appendHeader(headers, "content-type: application/json");
    if (token) appendHeader(headers, "authorization: Bearer " + *token);
    appendHeader(headers, "Expect:"); // no 100-continue round trip before larger bodies

    char error[CURL_ERROR_SIZE] = "";
    Answer answer;
    Activity activity{inactivity, cancelled};
    Transfer transfer;
    transfer.set(CURLOPT_CURLU, url);
    transfer.set(CURLOPT_PROTOCOLS_STR, "http,https");
    transfer.set(CURLOPT_NOSIGNAL, 1L);
    transfer.set(CURLOPT_NOPROGRESS, 0L);
    transfer.set(CURLOPT_XFERINFOFUNCTION, checkActivity);
    transfer.set(CURLOPT_XFERINFODATA, &activity);
    transfer.set(CURLOPT_HTTPHEADER, headers.get());
    transfer.set(CURLOPT_ERRORBUFFER, error);
    transfer.set(CURLOPT_WRITEFUNCTION, appendBody);
    transfer.set(CURLOPT_WRITEDATA, &answer.body);
    if (payload) {
        transfer.set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload->size()));
        transfer.set(CURLOPT_POSTFIELDS, payload->c_str());
    }
    if (method != (payload ? "POST" : "GET")) transfer.set(CURLOPT_CUSTOMREQUEST, method.c_str());

    if (CURLcode rc = curl_easy_perform(transfer.handle); rc != CURLE_OK)
        throw TransportError(failureText(rc, error, activity));
    long status = 0;
    curl_easy_getinfo(transfer.handle, CURLINFO_RESPONSE_CODE, &status);
    answer.status = static_cast<int>(status);
    const char* location = nullptr;
    if (curl_easy_getinfo(transfer.handle, CURLINFO_REDIRECT_URL, &location) == CURLE_OK &&
        location)
        answer.location = location;
    return answer;
}

} // namespace

ApiError::ApiError(std::optional<int> status, std::string message)
    : status_(status)
    , message_(std::move(message))
    , description_(status_ ? std::to_string(*status_) + ": " + message_ : message_) {}

bool ApiError::unauthorized() const {
    return status_ == 401 || status_ == 403;
}

std::string ApiError::description() const {
    return description_;
}

ApiClient::ApiClient(std::string_view server, std::optional<std::string> token)
    : server_(normalize(server))
    , token_(std::move(token)) {}

std::string ApiClient::normalize(std::string_view server) {
    std::string_view trimmed = trim(server);
    std::string out = trimmed.find("://") == trimmed.npos ? "https://" + std::string(trimmed)
                                                          : std::string(trimmed);
    while (out.ends_with('/'))
        out.pop_back();
    return out;
}

std::string ApiClient::sendRaw(std::string_view method, std::string_view path,
                               const std::optional<nlohmann::json>& body,
                               std::chrono::seconds inactivity,
                               const std::atomic<bool>* cancelled) const {
    std::string address = server_ + std::string(path);
    auto url = parseUrl(address);
    std::string methodText(method);
    std::optional<std::string> payload;
    if (body) payload = Json::encode(*body);
    std::optional<std::string> token = token_;
    for (int redirects = 0;; ++redirects) {
        Answer answer = exchange(url.get(), methodText, payload, token, inactivity, cancelled);
        if (answer.status >= 200 && answer.status <= 299) return std::move(answer.body);
        if (answer.location.empty()) throw ApiError(answer.status, errorMessage(answer.body));
        if (redirects == maxRedirects)
            throw TransportError("Maximum (" + std::to_string(maxRedirects) +
                                 ") redirects followed");
        auto next = redirectUrl(answer.location);
        if (!sameServer(address, answer.location)) token.reset();
        // 303 asks for the answer elsewhere; the others repeat the request there.
        if (answer.status == 303) {
            methodText = "GET";
            payload.reset();
        }
        url = std::move(next);
        address = std::move(answer.location);
    }
}

bool ApiClient::sameServer(const std::string& from, const std::string& to) {
    const Origin a = originOf(from), b = originOf(to);
    if (a.host.empty() || a.host != b.host) return false;
    if (a.scheme == b.scheme) return a.port == b.port;
    return a.scheme == "http" && a.port == "80" && b.scheme == "https" && b.port == "443";
}

PairResult ApiClient::pair(const std::string& code, const std::string& deviceName,
                           const std::string& osVersion) const {
    return send<PairResult>("POST", "/api/pair",
                            nlohmann::json{{"code", code},
                                           {"platform", platform::name()},
                                           {"deviceName", deviceName},
                                           {"osVersion", osVersion},
                                           {"agentVersion", Version::agent()}});
}

SyncAnswer ApiClient::syncAnswer(const nlohmann::json& status, const std::vector<UsageEntry>& usage,
                                 const std::vector<std::map<std::string, std::string>>& apps,
                                 std::optional<std::int64_t> revision) const {
    nlohmann::json body{{"status", status},
                        {"usage", usage},
                        {"apps", apps},
                        {"agentVersion", Version::agent()},
                        {"osVersion", Version::os()}};
    Json::field::put(body, "revision", revision);
    return send<SyncAnswer>("POST", "/api/device/sync", body);
}

RequestResult ApiClient::request(const std::string& kind, std::int64_t minutes,
                                 const std::optional<std::string>& appId,
                                 const std::optional<std::string>& appName,
                                 const std::optional<std::string>& note) const {
    nlohmann::json body{{"kind", kind}, {"minutes", minutes}};
    if (kind == "them_gio") {
        Json::field::put(body, "appId", appId);
        Json::field::put(body, "appName", appName);
        if (note && !note->empty()) body["note"] = *note;
    }
    return send<RequestResult>("POST", "/api/device/requests", body);
}

RequestState ApiClient::requestState(const std::string& id) const {
    return send<RequestState>("GET", "/api/device/requests/" + encodeSegment(id));
}

WakeUp ApiClient::wait(std::int64_t revision, const std::atomic<bool>* cancelled) const {
    // The server sends a space every Contract::waitHeartbeat while it holds the wait.
    return Json::decode<WakeUp>(
        sendRaw("GET", "/api/device/wait?revision=" + std::to_string(revision), std::nullopt,
                Contract::waitHeartbeat + inactivityLimit, cancelled));
}

} // namespace tovu
