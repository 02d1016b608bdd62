#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavo {

// Standard base64 with padding (block ids, checksums on the wire).
std::string base64Encode(std::string_view bytes);
// base64url without padding (tokens, PKCE).
std::string base64UrlEncode(std::string_view bytes);
// base64url with or without padding; nothing on a character outside its alphabet.
std::optional<std::string> base64UrlDecode(std::string_view text);

}  // namespace kavo
