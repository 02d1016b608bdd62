#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.h"
#include "net/DecodingError.h"
#include "net/JSONValue.h"

namespace kavo {

// Reads a server answer's JSON object member by member. Whatever does not fit throws a
// DecodingError that names the expected type and the path to the offending value.
class WireDecoder {
public:
    // The body as JSON; a body that is not JSON text is data corrupted at the top.
    static nlohmann::json parse(std::string_view body);

    // Throws a type mismatch naming `typeName` when `value` is not an object. `value`
    // must outlive the decoder.
    WireDecoder(const nlohmann::json& value, std::string typeName, CodingPath path = {});

    // Absent: key not found. Null: value not found.
    template <typename T>
    T required(const std::string& key) const {
        const nlohmann::json* value = member(key);
        if (value == nullptr) {
            throw missingKey(key);
        }
        T out{};
        decodeValue(*value, pathTo(key), out);
        return out;
    }

    // Absent or null: nothing.
    template <typename T>
    std::optional<T> optional(const std::string& key) const {
        const nlohmann::json* value = member(key);
        if (value == nullptr || value->is_null()) {
            return std::nullopt;
        }
        T out{};
        decodeValue(*value, pathTo(key), out);
        return out;
    }

    // One value of each kind the wire types hold. Dates go through DateParserCascade.
    static void decodeValue(const nlohmann::json& json, const CodingPath& path, std::string& out);
    static void decodeValue(const nlohmann::json& json, const CodingPath& path, bool& out);
    static void decodeValue(const nlohmann::json& json, const CodingPath& path, int& out);
    static void decodeValue(const nlohmann::json& json, const CodingPath& path, std::int64_t& out);
    static void decodeValue(const nlohmann::json& json, const CodingPath& path, double& out);
    static void decodeValue(const nlohmann::json& json, const CodingPath& path, WallTime& out);
    static void decodeValue(const nlohmann::json& json, const CodingPath& path, JSONValue& out);

private:
    const nlohmann::json* member(const std::string& key) const;
    CodingPath pathTo(const std::string& key) const;
    DecodingError missingKey(const std::string& key) const;

    const nlohmann::json& object_;
    CodingPath path_;
};

}  // namespace kavo
