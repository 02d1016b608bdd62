#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kavo {

// Helpers for showing server answers to people: bodies are bytes, and only well-formed
// UTF-8 is shown; lengths count Unicode scalars, never bytes, so a cut never splits a
// character.

// `bytes` when they are well-formed UTF-8, otherwise the empty string.
std::string utf8OrEmpty(std::string_view bytes);

// Number of Unicode scalars of well-formed UTF-8.
std::size_t unicodeScalarCount(std::string_view utf8);

// Without the leading and trailing white space and line breaks (Unicode's White_Space).
std::string_view trimmedWhitespace(std::string_view utf8);

// When longer than `limit` scalars, its first `limit` followed by "...".
std::string truncatedText(std::string_view utf8, std::size_t limit);

// Trimmed text; when longer than `limit` scalars, its first `limit` followed by "...".
std::string textExcerpt(std::string_view utf8, std::size_t limit);

}  // namespace kavo
