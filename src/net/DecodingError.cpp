#include "net/DecodingError.h"

#include <fmt/format.h>

#include <utility>

namespace kavo {

std::string codingPathText(const CodingPath& path) {
    std::string text;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (i > 0) {
            text += '.';
        }
        const CodingKey& key = path[i];
        text += key.stringValue.empty() ? fmt::format("[{}]", key.intValue.value_or(-1))
                                        : key.stringValue;
    }
    return text;
}

DecodingError::DecodingError(Kind kind, std::string expectedType, CodingPath path, CodingKey key,
                             std::string debugDescription)
    : Error(debugDescription),
      kind_(kind),
      expectedType_(std::move(expectedType)),
      codingPath_(std::move(path)),
      key_(std::move(key)),
      debugDescription_(std::move(debugDescription)) {}

DecodingError DecodingError::typeMismatch(std::string expectedType, CodingPath path,
                                          std::string debugDescription) {
    return DecodingError(Kind::typeMismatch, std::move(expectedType), std::move(path), {},
                         std::move(debugDescription));
}

DecodingError DecodingError::valueNotFound(std::string expectedType, CodingPath path,
                                           std::string debugDescription) {
    return DecodingError(Kind::valueNotFound, std::move(expectedType), std::move(path), {},
                         std::move(debugDescription));
}

DecodingError DecodingError::keyNotFound(CodingKey key, CodingPath path,
                                         std::string debugDescription) {
    return DecodingError(Kind::keyNotFound, {}, std::move(path), std::move(key),
                         std::move(debugDescription));
}

DecodingError DecodingError::dataCorrupted(CodingPath path, std::string debugDescription) {
    return DecodingError(Kind::dataCorrupted, {}, std::move(path), {}, std::move(debugDescription));
}

}  // namespace kavo
