#include "base/Base64.h"

#include <cstdint>

namespace kavo {

namespace {

constexpr std::string_view kStandard =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrlSafe =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(std::string_view bytes, std::string_view alphabet, bool pad) {
    std::string out;
    out.reserve(4 * ((bytes.size() + 2) / 3));
    std::uint32_t buffer = 0;
    int bits = 0;
    for (const char c : bytes) {
        buffer = (buffer << 8) | static_cast<unsigned char>(c);
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += alphabet[(buffer >> bits) & 63];
        }
    }
    if (bits > 0) out += alphabet[(buffer << (6 - bits)) & 63];
    while (pad && out.size() % 4 != 0) out += '=';
    return out;
}

}  // namespace

std::string base64Encode(std::string_view bytes) {
    return encode(bytes, kStandard, true);
}

std::string base64UrlEncode(std::string_view bytes) {
    return encode(bytes, kUrlSafe, false);
}

std::optional<std::string> base64UrlDecode(std::string_view text) {
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    if (text.size() % 4 == 1) return std::nullopt;
    std::string out;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (const char c : text) {
        const auto value = kUrlSafe.find(c);
        if (value == std::string_view::npos) return std::nullopt;
        buffer = (buffer << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

}  // namespace kavo
