#include "net/TextExcerpt.h"

#include <cstdint>
#include <optional>

namespace kavo {

namespace {

struct Scalar {
    char32_t value;
    std::size_t length;
};

// Decodes the scalar starting at `at`; nothing for an ill-formed sequence (overlong
// forms, surrogates and values past U+10FFFF included).
std::optional<Scalar> decodeAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    if (lead < 0x80) {
        return Scalar{lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - at < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const std::uint8_t next = byte(at + i);
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return Scalar{value, length};
}

bool isWhitespace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

std::string utf8OrEmpty(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const auto scalar = decodeAt(bytes, at);
        if (!scalar) {
            return {};
        }
        at += scalar->length;
    }
    return std::string(bytes);
}

std::size_t unicodeScalarCount(std::string_view utf8) {
    std::size_t count = 0;
    for (const char c : utf8) {
        if ((static_cast<std::uint8_t>(c) & 0xC0) != 0x80) {
            ++count;
        }
    }
    return count;
}

std::string_view trimmedWhitespace(std::string_view utf8) {
    std::size_t begin = 0;
    while (begin < utf8.size()) {
        const auto scalar = decodeAt(utf8, begin);
        if (!scalar || !isWhitespace(scalar->value)) {
            break;
        }
        begin += scalar->length;
    }
    std::size_t end = utf8.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<std::uint8_t>(utf8[start]) & 0xC0) == 0x80) {
            --start;
        }
        const auto scalar = decodeAt(utf8, start);
        if (!scalar || start + scalar->length != end || !isWhitespace(scalar->value)) {
            break;
        }
        end = start;
    }
    return utf8.substr(begin, end - begin);
}

std::string truncatedText(std::string_view utf8, std::size_t limit) {
    std::size_t scalars = 0;
    for (std::size_t at = 0; at < utf8.size(); ++at) {
        if ((static_cast<std::uint8_t>(utf8[at]) & 0xC0) == 0x80) {
            continue;
        }
        if (scalars == limit) {
            return std::string(utf8.substr(0, at)) + "...";
        }
        ++scalars;
    }
    return std::string(utf8);
}

std::string textExcerpt(std::string_view utf8, std::size_t limit) {
    return truncatedText(trimmedWhitespace(utf8), limit);
}

}  // namespace kavo
