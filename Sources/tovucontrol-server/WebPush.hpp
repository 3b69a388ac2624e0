#pragma once

#include "TovuProtocol/Clock.hpp"

#include <string>
#include <string_view>

// Web Push without a push library: message encryption (RFC 8291, "aes128gcm" of RFC 8188) and
// the server's own identification (VAPID, RFC 8292), on OpenSSL.
namespace tovu::server::WebPush {

// The server's VAPID key pair, made once and kept in the store.
struct Keys {
    std::string privatePem; // PKCS#8
    std::string publicKey;  // the uncompressed P-256 point, base64url: the browser's
                            // applicationServerKey
};

// Where and how to reach one browser, as its PushSubscription gives it.
struct Subscription {
    std::string endpoint;
    std::string p256dh; // the browser's P-256 public key, base64url
    std::string auth;   // its 16-byte authentication secret, base64url
};

Keys newKeys();

// The body of one push message for the subscription: a fresh salt and a fresh key each time.
// Throws BadInput when the subscription's keys are not usable.
std::string encrypt(const Subscription& to, std::string_view plaintext);

// The Authorization header's value for a message to `endpoint`: a JWT signed with the server's
// key, for the endpoint's origin, valid for 12 hours from now.
std::string authorization(const Keys& keys, const std::string& endpoint, Time now);

// Checks a subscription before it is kept: an https endpoint (http too when `plainAllowed`, for
// tests against a local endpoint) and keys that encrypt. Throws BadInput.
void checkSubscription(const Subscription& s, bool plainAllowed);

std::string base64url(std::string_view bytes);
// Throws BadInput on anything but base64url (padding allowed).
std::string fromBase64url(std::string_view text);

} // namespace tovu::server::WebPush
