#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/Error.h"

namespace kavo {

// One step of the way from the top of a JSON document to a value: an object key, or an
// array index (empty string value).
struct CodingKey {
    std::string stringValue;
    std::optional<int> intValue;

    static CodingKey named(std::string name) { return CodingKey{std::move(name), std::nullopt}; }
    static CodingKey index(int position) { return CodingKey{{}, position}; }

    friend bool operator==(const CodingKey&, const CodingKey&) = default;
};

using CodingPath = std::vector<CodingKey>;

// The keys joined with "."; an index is written "[n]".
std::string codingPathText(const CodingPath& path);

// Why a JSON document does not fit the type it was decoded as, and where.
class DecodingError : public Error {
public:
    enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };

    static DecodingError typeMismatch(std::string expectedType, CodingPath path,
                                      std::string debugDescription);
    static DecodingError valueNotFound(std::string expectedType, CodingPath path,
                                       std::string debugDescription);
    // `path` leads to the object that lacks the key.
    static DecodingError keyNotFound(CodingKey key, CodingPath path, std::string debugDescription);
    static DecodingError dataCorrupted(CodingPath path, std::string debugDescription);

    Kind kind() const { return kind_; }
    // Fully qualified name of the type that was expected (mismatch, value not found).
    const std::string& expectedType() const { return expectedType_; }
    const CodingPath& codingPath() const { return codingPath_; }
    // The missing key (key not found).
    const CodingKey& key() const { return key_; }
    const std::string& debugDescription() const { return debugDescription_; }

private:
    DecodingError(Kind kind, std::string expectedType, CodingPath path, CodingKey key,
                  std::string debugDescription);

    Kind kind_;
    std::string expectedType_;
    CodingPath codingPath_;
    CodingKey key_;
    std::string debugDescription_;
};

}  // namespace kavo
