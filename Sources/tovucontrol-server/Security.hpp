#pragma once

#include <string>
#include <string_view>

// Secrets of the server: tokens, codes and passwords, all through libsodium.
namespace tovu::server::Security {

// Throws std::runtime_error when libsodium cannot start.
void init();

// 256 random bits as 64 hex digits: device and session tokens.
std::string newToken();
// 128 random bits as 32 hex digits: identifiers and the setup token.
std::string newId();
// Six random decimal digits, uniformly drawn.
std::string newCode();

// What is stored of a token: its SHA-256 as hex. Tokens are long and random, so no salt.
std::string tokenHash(std::string_view token);
// The CSRF value that belongs to a session token; only who holds the cookie can know it.
std::string csrfFor(std::string_view sessionToken);
// Constant-time comparison of two texts.
bool sameSecret(std::string_view a, std::string_view b);

// argon2id through crypto_pwhash_str.
std::string hashPassword(std::string_view password);
bool checkPassword(const std::string& hash, std::string_view password);

} // namespace tovu::server::Security
