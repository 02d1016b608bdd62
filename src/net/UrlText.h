#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kavo {

// An absolute or relative URL kept as its percent-encoded text, split at the query and
// the fragment; enough to read and extend the query of a storage SAS URL without
// re-encoding the signature.
struct UrlText {
    std::string beforeQuery;              // scheme, authority and path, as written
    std::optional<std::string> query;     // percent-encoded, without the "?"
    std::optional<std::string> fragment;  // percent-encoded, without the "#"

    // Nothing when `text` is empty or holds characters a URL cannot carry unescaped
    // (spaces, controls, non-ASCII, a "%" without two hex digits, a malformed scheme).
    static std::optional<UrlText> parse(std::string_view text);

    std::string text() const;

    // The percent-decoded value of the first query item named exactly `name`; nothing
    // when there is none, an empty value when the item has no "=".
    std::optional<std::string> queryValue(std::string_view name) const;

    static std::string percentDecode(std::string_view text);
    // Escapes every byte but ASCII letters and digits.
    static std::string percentEncodeAlphanumerics(std::string_view text);
    // Escapes every byte but the unreserved characters: letters, digits, "-", ".", "_", "~".
    static std::string percentEncodeUnreserved(std::string_view text);
    // "name=value&..." with both sides escaped, as a form body or a query.
    static std::string formEncode(const std::vector<std::pair<std::string, std::string>>& form);
};

}  // namespace kavo
