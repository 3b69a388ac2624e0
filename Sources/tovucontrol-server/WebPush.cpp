#include "WebPush.hpp"

#include "Errors.hpp"
#include "TovuProtocol/Json.hpp"

#include <array>
#include <memory>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <sodium.h>
#include <stdexcept>

namespace tovu::server::WebPush {
namespace {

using Bytes = std::string;

template <class T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

constexpr std::size_t pointSize = 65; // 0x04, x, y
constexpr std::size_t saltSize = 16;
constexpr std::uint32_t recordSize = 4096;

// OpenSSL failing on sound input is a fault of the server, not of the caller.
void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("OpenSSL: ") + what);
}

const unsigned char* bytes(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

Bytes hmac(std::string_view key, std::string_view data) {
    std::array<unsigned char, 32> out{};
    unsigned int size = 0;
    check(HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), bytes(data), data.size(),
               out.data(), &size) != nullptr,
          "HMAC");
    return Bytes(reinterpret_cast<const char*>(out.data()), size);
}

// HKDF (RFC 5869) with one block of output, all that these keys need.
Bytes hkdf(std::string_view salt, std::string_view ikm, std::string_view info, std::size_t size) {
    return hmac(hmac(salt, ikm), Bytes(info) + '\x01').substr(0, size);
}

Key generate() {
    KeyContext ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    check(ctx && EVP_PKEY_keygen_init(ctx.get()) > 0, "keygen init");
    check(EVP_PKEY_CTX_set_group_name(ctx.get(), "P-256") > 0, "group");
    EVP_PKEY* key = nullptr;
    check(EVP_PKEY_generate(ctx.get(), &key) > 0, "keygen");
    return Key(key);
}

Bytes point(const EVP_PKEY* key) {
    std::array<unsigned char, pointSize> out{};
    std::size_t size = 0;
    check(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, out.data(),
                                          out.size(), &size) > 0 &&
              size == pointSize,
          "public point");
    return Bytes(reinterpret_cast<const char*>(out.data()), size);
}

// A peer's public key from its uncompressed point; absent when it is not a point of P-256.
Key fromPoint(const Bytes& p) {
    if (p.size() != pointSize || p[0] != '\x04') return nullptr;
    std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>> build(
        OSSL_PARAM_BLD_new());
    check(build &&
              OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1",
                                              0) &&
              OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, p.data(),
                                               p.size()),
          "parameters");
    std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>> params(
        OSSL_PARAM_BLD_to_param(build.get()));
    KeyContext ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0)
        return nullptr;
    Key owned(key);
    // fromdata takes any octets; only a point on the curve is a key.
    KeyContext test(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!test || EVP_PKEY_public_check(test.get()) <= 0) return nullptr;
    return owned;
}

Bytes agree(EVP_PKEY* mine, EVP_PKEY* theirs) {
    KeyContext ctx(EVP_PKEY_CTX_new(mine, nullptr));
    std::size_t size = 0;
    check(ctx && EVP_PKEY_derive_init(ctx.get()) > 0 &&
              EVP_PKEY_derive_set_peer(ctx.get(), theirs) > 0 &&
              EVP_PKEY_derive(ctx.get(), nullptr, &size) > 0,
          "ECDH");
    Bytes secret(size, '\0');
    check(EVP_PKEY_derive(ctx.get(), reinterpret_cast<unsigned char*>(secret.data()), &size) > 0,
          "ECDH");
    secret.resize(size);
    return secret;
}

Bytes sealed(const Bytes& key, const Bytes& nonce, const Bytes& plain) {
    CipherContext ctx(EVP_CIPHER_CTX_new());
    check(ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, bytes(key),
                                    bytes(nonce)) > 0,
          "AES-GCM init");
    Bytes out(plain.size() + 16, '\0');
    auto* at = reinterpret_cast<unsigned char*>(out.data());
    int size = 0, last = 0;
    check(EVP_EncryptUpdate(ctx.get(), at, &size, bytes(plain), static_cast<int>(plain.size())) >
                  0 &&
              EVP_EncryptFinal_ex(ctx.get(), at + size, &last) > 0 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, at + size + last) > 0,
          "AES-GCM");
    out.resize(static_cast<std::size_t>(size + last) + 16);
    return out;
}

Key loadPrivate(const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    check(key != nullptr, "VAPID key");
    return key;
}

// ES256 wants the signature as r and s side by side, 32 bytes each, not DER.
Bytes sign(EVP_PKEY* key, std::string_view data) {
    DigestContext ctx(EVP_MD_CTX_new());
    std::size_t size = 0;
    check(ctx && EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) > 0 &&
              EVP_DigestSign(ctx.get(), nullptr, &size, bytes(data), data.size()) > 0,
          "sign");
    Bytes der(size, '\0');
    check(EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(der.data()), &size,
                         bytes(data), data.size()) > 0,
          "sign");
    const unsigned char* at = bytes(der);
    std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>> sig(
        d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(size)));
    check(sig != nullptr, "signature");
    std::array<unsigned char, 64> raw{};
    check(BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), 32) == 32 &&
              BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + 32, 32) == 32,
          "signature");
    return Bytes(reinterpret_cast<const char*>(raw.data()), raw.size());
}

// "https://push.example.net" of "https://push.example.net/send/abc".
std::string origin(const std::string& endpoint) {
    const auto scheme = endpoint.find("://");
    const auto path = scheme == std::string::npos ? scheme : endpoint.find('/', scheme + 3);
    return endpoint.substr(0, path);
}

} // namespace

std::string base64url(std::string_view in) {
    std::string out(sodium_base64_ENCODED_LEN(in.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING),
                    '\0');
    sodium_bin2base64(out.data(), out.size(), bytes(in), in.size(),
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    out.pop_back();
    return out;
}

std::string fromBase64url(std::string_view text) {
    while (!text.empty() && text.back() == '=')
        text.remove_suffix(1);
    std::string out(text.size(), '\0');
    std::size_t size = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(),
                          text.size(), nullptr, &size, nullptr,
                          sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0)
        throw BadInput("Khoá của trình duyệt không đúng.");
    out.resize(size);
    return out;
}

Keys newKeys() {
    const auto key = generate();
    Bio bio(BIO_new(BIO_s_mem()));
    check(bio && PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                          nullptr) > 0,
          "PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return {std::string(data, static_cast<std::size_t>(size)), base64url(point(key.get()))};
}

std::string encrypt(const Subscription& to, std::string_view plaintext) {
    const auto theirPoint = fromBase64url(to.p256dh);
    const auto auth = fromBase64url(to.auth);
    const auto theirs = fromPoint(theirPoint);
    if (!theirs || auth.size() != 16) throw BadInput("Khoá của trình duyệt không đúng.");
    if (plaintext.size() + 17 > recordSize) throw std::length_error("push message too long");

    const auto mine = generate();
    const auto myPoint = point(mine.get());
    const auto ikm = hkdf(auth, agree(mine.get(), theirs.get()),
                          Bytes("WebPush: info") + '\0' + theirPoint + myPoint, 32);
    Bytes salt(saltSize, '\0');
    check(RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), saltSize) > 0, "random");
    const auto key = hkdf(salt, ikm, Bytes("Content-Encoding: aes128gcm") + '\0', 16);
    const auto nonce = hkdf(salt, ikm, Bytes("Content-Encoding: nonce") + '\0', 12);

    // One record, the last, so its delimiter is 2.
    Bytes header = salt;
    for (int shift = 24; shift >= 0; shift -= 8)
        header += static_cast<char>((recordSize >> shift) & 0xff);
    header += static_cast<char>(myPoint.size());
    header += myPoint;
    return header + sealed(key, nonce, Bytes(plaintext) + '\x02');
}

std::string authorization(const Keys& keys, const std::string& endpoint, Time now) {
    using namespace std::chrono;
    const auto exp = duration_cast<seconds>((now + hours(12)).time_since_epoch()).count();
    const auto unsignedToken =
        base64url(R"({"alg":"ES256","typ":"JWT"})") + "." +
        base64url(Json::encode(
            {{"aud", origin(endpoint)}, {"exp", exp}, {"sub", "mailto:tovucontrol@localhost"}}));
    const auto key = loadPrivate(keys.privatePem);
    return "vapid t=" + unsignedToken + "." + base64url(sign(key.get(), unsignedToken)) +
           ", k=" + keys.publicKey;
}

void checkSubscription(const Subscription& s, bool plainAllowed) {
    const bool secure = s.endpoint.starts_with("https://");
    if (!(secure || (plainAllowed && s.endpoint.starts_with("http://"))) ||
        origin(s.endpoint).size() <= std::string_view(secure ? "https://" : "http://").size())
        throw BadInput("Địa chỉ nhận thông báo của trình duyệt không đúng.");
    if (!fromPoint(fromBase64url(s.p256dh)) || fromBase64url(s.auth).size() != 16)
        throw BadInput("Khoá của trình duyệt không đúng.");
}

} // namespace tovu::server::WebPush
