#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace kavo::testing {

// An injected environment lookup that holds exactly `values`.
inline std::function<std::optional<std::string>(const char*)> environmentFrom(
    std::map<std::string, std::string> values) {
    return [values = std::move(values)](const char* name) -> std::optional<std::string> {
        const auto found = values.find(name);
        if (found == values.end()) return std::nullopt;
        return found->second;
    };
}

}  // namespace kavo::testing
