#include "net/WireDecoder.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "net/DateParserCascade.h"
#include "net/TextExcerpt.h"

namespace kavo {

namespace {

std::string_view found(const nlohmann::json& json) {
    switch (json.type()) {
        case nlohmann::json::value_t::null:
            return "null";
        case nlohmann::json::value_t::boolean:
            return "a boolean";
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
        case nlohmann::json::value_t::number_float:
            return "a number";
        case nlohmann::json::value_t::string:
            return "a string";
        case nlohmann::json::value_t::array:
            return "an array";
        case nlohmann::json::value_t::object:
            return "an object";
        case nlohmann::json::value_t::binary:
        case nlohmann::json::value_t::discarded:
            break;
    }
    return "an unknown value";
}

// Null where a value is required reads as missing; anything else of the wrong kind as a
// mismatch.
[[noreturn]] void wrongKind(const nlohmann::json& json, const CodingPath& path,
                            std::string_view type) {
    if (json.is_null()) {
        throw DecodingError::valueNotFound(
            std::string(type), path, fmt::format("Expected {} value but found null instead", type));
    }
    throw DecodingError::typeMismatch(
        std::string(type), path,
        fmt::format("Expected to decode {} but found {} instead", type, found(json)));
}

// A whole number within [minimum, maximum]; integral floating-point text (1.0, 1e3) counts.
template <typename Integer>
Integer integer(const nlohmann::json& json, const CodingPath& path, std::string_view type) {
    if (!json.is_number()) {
        wrongKind(json, path, type);
    }
    constexpr auto minimum = std::numeric_limits<Integer>::min();
    constexpr auto maximum = std::numeric_limits<Integer>::max();
    if (json.is_number_integer() && !json.is_number_unsigned()) {
        const auto value = json.get<std::int64_t>();
        if (value >= minimum && value <= maximum) {
            return static_cast<Integer>(value);
        }
    } else if (json.is_number_unsigned()) {
        const auto value = json.get<std::uint64_t>();
        if (value <= static_cast<std::uint64_t>(maximum)) {
            return static_cast<Integer>(value);
        }
    } else {
        const double value = json.get<double>();
        // The upper bound is exclusive: maximum + 1 is a power of two, exact as a double.
        if (std::trunc(value) == value && value >= static_cast<double>(minimum) &&
            value < static_cast<double>(maximum) + 1.0) {
            return static_cast<Integer>(value);
        }
    }
    throw DecodingError::dataCorrupted(
        path, fmt::format("Parsed JSON number <{}> does not fit in {}", json.dump(), type));
}

}  // namespace

nlohmann::json WireDecoder::parse(std::string_view body) {
    try {
        return nlohmann::json::parse(body.begin(), body.end());
    } catch (const nlohmann::json::exception& error) {
        // nlohmann prefixes its messages with "[json.exception.parse_error.101] ".
        std::string_view reason = error.what();
        if (const auto end = reason.find("] ");
            !reason.empty() && reason.front() == '[' && end != std::string_view::npos) {
            reason.remove_prefix(end + 2);
        }
        throw DecodingError::dataCorrupted(
            {}, fmt::format("The given data was not valid JSON: {}", reason));
    }
}

WireDecoder::WireDecoder(const nlohmann::json& value, std::string typeName, CodingPath path)
    : object_(value), path_(std::move(path)) {
    if (!value.is_object()) {
        wrongKind(value, path_, typeName);
    }
}

const nlohmann::json* WireDecoder::member(const std::string& key) const {
    const auto it = object_.find(key);
    return it == object_.end() ? nullptr : &*it;
}

CodingPath WireDecoder::pathTo(const std::string& key) const {
    CodingPath path = path_;
    path.push_back(CodingKey::named(key));
    return path;
}

DecodingError WireDecoder::missingKey(const std::string& key) const {
    return DecodingError::keyNotFound(CodingKey::named(key), path_,
                                      fmt::format("No value associated with key '{}'", key));
}

void WireDecoder::decodeValue(const nlohmann::json& json, const CodingPath& path,
                              std::string& out) {
    if (!json.is_string()) {
        wrongKind(json, path, "std::string");
    }
    out = json.get<std::string>();
}

void WireDecoder::decodeValue(const nlohmann::json& json, const CodingPath& path, bool& out) {
    if (!json.is_boolean()) {
        wrongKind(json, path, "bool");
    }
    out = json.get<bool>();
}

void WireDecoder::decodeValue(const nlohmann::json& json, const CodingPath& path, int& out) {
    out = integer<int>(json, path, "int");
}

void WireDecoder::decodeValue(const nlohmann::json& json, const CodingPath& path,
                              std::int64_t& out) {
    out = integer<std::int64_t>(json, path, "std::int64_t");
}

void WireDecoder::decodeValue(const nlohmann::json& json, const CodingPath& path, double& out) {
    if (!json.is_number()) {
        wrongKind(json, path, "double");
    }
    out = json.get<double>();
}

void WireDecoder::decodeValue(const nlohmann::json& json, const CodingPath& path, WallTime& out) {
    // Dates travel as strings.
    std::string text;
    decodeValue(json, path, text);
    const auto date = DateParserCascade::shared().parse(text);
    if (!date) {
        // A date is short; anything longer is quoted only in part.
        throw DecodingError::dataCorrupted(
            path, fmt::format("Could not parse date: '{}'", truncatedText(text, 100)));
    }
    out = *date;
}

void WireDecoder::decodeValue(const nlohmann::json& json, const CodingPath& path, JSONValue& out) {
    out = JSONValue::fromJSON(json, path);
}

}  // namespace kavo
