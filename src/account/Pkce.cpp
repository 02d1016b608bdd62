#include "account/Pkce.h"

#include <openssl/rand.h>
#include <openssl/sha.h>

#include <array>
#include <vector>

#include "base/Base64.h"
#include "base/Error.h"

namespace kavo {

std::string randomUrlSafeToken(std::size_t count) {
    std::vector<unsigned char> bytes(count);
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        throw Error("The system's random source failed.");
    }
    return base64UrlEncode(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Pkce Pkce::make() {
    auto verifier = randomUrlSafeToken(32);
    auto challenge = challengeFor(verifier);
    return Pkce{std::move(verifier), std::move(challenge)};
}

std::string Pkce::challengeFor(std::string_view verifier) {
    std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
    SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(), digest.data());
    return base64UrlEncode(
        std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

}  // namespace kavo
