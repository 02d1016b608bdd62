#include "net/UrlText.h"

#include <cctype>

namespace kavo {
namespace {

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

bool isAlphanumeric(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// RFC 3986 unreserved, general and sub-delimiters.
bool isURLCharacter(char c) {
    static constexpr std::string_view kOthers = "-._~:/?#[]@!$&'()*+,;=";
    return isAlphanumeric(c) || kOthers.find(c) != std::string_view::npos;
}

bool hasValidScheme(std::string_view text) {
    const auto colon = text.find(':');
    const auto firstDelimiter = text.find_first_of("/?#");
    if (colon == std::string_view::npos ||
        (firstDelimiter != std::string_view::npos && firstDelimiter < colon))
        return true;  // no scheme: a relative reference
    if (colon == 0 || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    for (const char c : text.substr(0, colon))
        if (!isAlphanumeric(c) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

}  // namespace

std::optional<UrlText> UrlText::parse(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))
                return std::nullopt;
        } else if (!isURLCharacter(text[i])) {
            return std::nullopt;
        }
    }
    if (!hasValidScheme(text)) return std::nullopt;

    UrlText url;
    const auto hash = text.find('#');
    if (hash != std::string_view::npos) {
        url.fragment = std::string(text.substr(hash + 1));
        text = text.substr(0, hash);
    }
    const auto question = text.find('?');
    if (question != std::string_view::npos) {
        url.query = std::string(text.substr(question + 1));
        text = text.substr(0, question);
    }
    url.beforeQuery = std::string(text);
    return url;
}

std::string UrlText::text() const {
    std::string result = beforeQuery;
    if (query) result += "?" + *query;
    if (fragment) result += "#" + *fragment;
    return result;
}

std::optional<std::string> UrlText::queryValue(std::string_view name) const {
    if (!query) return std::nullopt;
    std::string_view rest = *query;
    while (true) {
        const auto amp = rest.find('&');
        const std::string_view item = rest.substr(0, amp);
        const auto equals = item.find('=');
        if (percentDecode(item.substr(0, equals)) == name)
            return equals == std::string_view::npos ? std::string()
                                                    : percentDecode(item.substr(equals + 1));
        if (amp == std::string_view::npos) return std::nullopt;
        rest = rest.substr(amp + 1);
    }
}

std::string UrlText::percentDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
            decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

namespace {

template <typename Keep>
std::string percentEncode(std::string_view text, Keep keep) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        if (keep(c)) {
            encoded += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            encoded += '%';
            encoded += kDigits[byte >> 4];
            encoded += kDigits[byte & 0xF];
        }
    }
    return encoded;
}

}  // namespace

std::string UrlText::percentEncodeAlphanumerics(std::string_view text) {
    return percentEncode(text, isAlphanumeric);
}

std::string UrlText::percentEncodeUnreserved(std::string_view text) {
    return percentEncode(text, [](char c) {
        return isAlphanumeric(c) || c == '-' || c == '.' || c == '_' || c == '~';
    });
}

std::string UrlText::formEncode(const std::vector<std::pair<std::string, std::string>>& form) {
    std::string body;
    for (const auto& [name, value] : form) {
        if (!body.empty()) body += '&';
        body += percentEncodeUnreserved(name) + "=" + percentEncodeUnreserved(value);
    }
    return body;
}

}  // namespace kavo
