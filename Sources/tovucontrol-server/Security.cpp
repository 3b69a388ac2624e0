#include "Security.hpp"

#include <array>
#include <mutex>
#include <sodium.h>
#include <stdexcept>

namespace tovu::server::Security {
namespace {

std::string hex(const unsigned char* bytes, std::size_t n) {
    std::string out(n * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes, n);
    out.pop_back();
    return out;
}

template <std::size_t N> std::string randomHex() {
    std::array<unsigned char, N> bytes{};
    randombytes_buf(bytes.data(), bytes.size());
    return hex(bytes.data(), bytes.size());
}

// OWASP's argon2id floor in its smaller-memory form (7 MiB, 5 passes, as strong as 19 MiB and 2
// passes), and one hash at a time: however many logins come at once, the server stays small.
constexpr unsigned long long passwordOps = 5;
constexpr std::size_t passwordMemory = 7u * 1024 * 1024;
std::mutex hashing;

} // namespace

void init() {
    if (sodium_init() < 0) throw std::runtime_error("libsodium does not start");
}

std::string newToken() {
    return randomHex<32>();
}

std::string newId() {
    return randomHex<16>();
}

std::string newCode() {
    std::string code = std::to_string(randombytes_uniform(1000000));
    return std::string(6 - code.size(), '0') + code;
}

std::string tokenHash(std::string_view token) {
    std::array<unsigned char, crypto_hash_sha256_BYTES> out{};
    crypto_hash_sha256(out.data(), reinterpret_cast<const unsigned char*>(token.data()),
                       token.size());
    return hex(out.data(), out.size());
}

std::string csrfFor(std::string_view sessionToken) {
    static constexpr std::string_view key = "tovucontrol csrf";
    std::array<unsigned char, 32> out{};
    crypto_generichash(
        out.data(), out.size(), reinterpret_cast<const unsigned char*>(sessionToken.data()),
        sessionToken.size(), reinterpret_cast<const unsigned char*>(key.data()), key.size());
    return hex(out.data(), out.size());
}

bool sameSecret(std::string_view a, std::string_view b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string hashPassword(std::string_view password) {
    std::array<char, crypto_pwhash_STRBYTES> out{};
    std::lock_guard one(hashing);
    if (crypto_pwhash_str_alg(out.data(), password.data(), password.size(), passwordOps,
                              passwordMemory, crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw std::runtime_error("out of memory while hashing a password");
    return out.data();
}

bool checkPassword(const std::string& hash, std::string_view password) {
    std::lock_guard one(hashing);
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

} // namespace tovu::server::Security
