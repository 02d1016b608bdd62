#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kavo {

// The published "latest.json": the newest version and the page to download it from.
// schemaVersion and publishedAt are read but decide nothing.
struct UpdateManifest {
    std::optional<std::int64_t> schemaVersion;
    std::string latestVersion;
    std::string downloadPageUrl;
    std::optional<std::string> publishedAt;

    bool operator==(const UpdateManifest&) const = default;

    // Unknown keys are ignored. Throws DecodingError naming the key that was missing or
    // of the wrong type.
    static UpdateManifest decode(std::string_view json);
};

}  // namespace kavo
