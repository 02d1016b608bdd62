#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vector>

#include "net/DecodingError.h"

namespace kavo {

// Any JSON value, for payloads whose shape the client does not fix (the diagnostics of a
// support report).
class JSONValue {
public:
    using Array = std::vector<JSONValue>;
    using Object = std::map<std::string, JSONValue>;

    enum class Kind { boolean, integer, floatingPoint, string, array, object, null };

    JSONValue() = default;
    JSONValue(std::nullptr_t) {}
    JSONValue(bool value) : storage_(value) {}
    JSONValue(int value) : storage_(std::int64_t{value}) {}
    JSONValue(std::int64_t value) : storage_(value) {}
    JSONValue(double value) : storage_(value) {}
    JSONValue(std::string value) : storage_(std::move(value)) {}
    JSONValue(const char* value) : storage_(std::string(value)) {}
    JSONValue(Array value) : storage_(std::move(value)) {}
    JSONValue(Object value) : storage_(std::move(value)) {}

    Kind kind() const { return static_cast<Kind>(storage_.index()); }
    bool isNull() const { return kind() == Kind::null; }
    const bool* boolValue() const { return std::get_if<bool>(&storage_); }
    const std::int64_t* intValue() const { return std::get_if<std::int64_t>(&storage_); }
    const double* doubleValue() const { return std::get_if<double>(&storage_); }
    const std::string* stringValue() const { return std::get_if<std::string>(&storage_); }
    const Array* arrayValue() const { return std::get_if<Array>(&storage_); }
    const Object* objectValue() const { return std::get_if<Object>(&storage_); }

    nlohmann::json toJSON() const;
    // A number that is a whole value within 64 bits becomes an integer, any other number a
    // floating-point value. Throws DecodingError (data corrupted) for what JSON text
    // cannot hold and for nesting deeper than `kMaxDepth`.
    static JSONValue fromJSON(const nlohmann::json& json, const CodingPath& path = {});

    static constexpr int kMaxDepth = 256;

    friend bool operator==(const JSONValue&, const JSONValue&) = default;

private:
    // In the order of Kind.
    std::variant<bool, std::int64_t, double, std::string, Array, Object, std::nullptr_t> storage_{
        nullptr};
};

void to_json(nlohmann::json& json, const JSONValue& value);
void from_json(const nlohmann::json& json, JSONValue& value);

}  // namespace kavo
