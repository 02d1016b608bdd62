#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace kavo::testing {

// An environment that holds exactly `values`, for code that reads its settings through an
// injected lookup instead of the process environment.
inline std::function<std::optional<std::string>(const char*)> environmentFrom(
    std::map<std::string, std::string> values) {
    return [values = std::move(values)](const char* name) -> std::optional<std::string> {
        const auto found = values.find(name);
        if (found == values.end()) return std::nullopt;
        return found->second;
    };
}

}  // namespace kavo::testing
