#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavo {

// Proof key for one authorization code exchange: a random verifier and its S256 challenge.
struct Pkce {
    std::string verifier;
    std::string challenge;

    // 32 random bytes as 43 base64url characters.
    static Pkce make();
    // base64url(SHA-256(verifier)) without padding.
    static std::string challengeFor(std::string_view verifier);
};

// `count` bytes from the system's secure random source as base64url. Throws kavo::Error.
std::string randomUrlSafeToken(std::size_t count);

}  // namespace kavo
