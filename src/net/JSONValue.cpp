#include "net/JSONValue.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>

namespace kavo {

namespace {

JSONValue decode(const nlohmann::json& json, CodingPath& path) {
    if (path.size() > static_cast<std::size_t>(JSONValue::kMaxDepth)) {
        throw DecodingError::dataCorrupted(
            path, fmt::format("Nested deeper than {} levels", JSONValue::kMaxDepth));
    }
    switch (json.type()) {
        case nlohmann::json::value_t::null:
            return JSONValue();
        case nlohmann::json::value_t::boolean:
            return JSONValue(json.get<bool>());
        case nlohmann::json::value_t::number_integer:
            return JSONValue(json.get<std::int64_t>());
        case nlohmann::json::value_t::number_unsigned: {
            const auto value = json.get<std::uint64_t>();
            if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return JSONValue(static_cast<std::int64_t>(value));
            }
            return JSONValue(static_cast<double>(value));
        }
        case nlohmann::json::value_t::number_float: {
            const double value = json.get<double>();
            // 2^63 itself does not fit; every double below it that is whole does.
            if (std::trunc(value) == value && value >= -9223372036854775808.0 &&
                value < 9223372036854775808.0) {
                return JSONValue(static_cast<std::int64_t>(value));
            }
            return JSONValue(value);
        }
        case nlohmann::json::value_t::string:
            return JSONValue(json.get<std::string>());
        case nlohmann::json::value_t::array: {
            JSONValue::Array array;
            array.reserve(json.size());
            for (std::size_t i = 0; i < json.size(); ++i) {
                path.push_back(CodingKey::index(static_cast<int>(i)));
                array.push_back(decode(json[i], path));
                path.pop_back();
            }
            return JSONValue(std::move(array));
        }
        case nlohmann::json::value_t::object: {
            JSONValue::Object object;
            for (const auto& [key, member] : json.items()) {
                path.push_back(CodingKey::named(key));
                object.emplace(key, decode(member, path));
                path.pop_back();
            }
            return JSONValue(std::move(object));
        }
        case nlohmann::json::value_t::binary:
        case nlohmann::json::value_t::discarded:
            break;
    }
    throw DecodingError::dataCorrupted(path, "Not a JSON value this type can represent");
}

}  // namespace

nlohmann::json JSONValue::toJSON() const {
    return std::visit(
        [](const auto& value) -> nlohmann::json {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Array>) {
                nlohmann::json array = nlohmann::json::array();
                for (const auto& element : value) {
                    array.push_back(element.toJSON());
                }
                return array;
            } else if constexpr (std::is_same_v<T, Object>) {
                nlohmann::json object = nlohmann::json::object();
                for (const auto& [key, member] : value) {
                    object[key] = member.toJSON();
                }
                return object;
            } else {
                return nlohmann::json(value);
            }
        },
        storage_);
}

JSONValue JSONValue::fromJSON(const nlohmann::json& json, const CodingPath& path) {
    CodingPath scratch = path;
    return decode(json, scratch);
}

void to_json(nlohmann::json& json, const JSONValue& value) {
    json = value.toJSON();
}

void from_json(const nlohmann::json& json, JSONValue& value) {
    value = JSONValue::fromJSON(json);
}

}  // namespace kavo
