#include "support/UpdateManifest.h"

#include <nlohmann/json.hpp>

#include "net/WireDecoder.h"

namespace kavo {

UpdateManifest UpdateManifest::decode(std::string_view json) {
    const nlohmann::json body = WireDecoder::parse(json);
    const WireDecoder object(body, "kavo::UpdateManifest");
    return UpdateManifest{
        .schemaVersion = object.optional<std::int64_t>("schemaVersion"),
        .latestVersion = object.required<std::string>("latestVersion"),
        .downloadPageUrl = object.required<std::string>("downloadPageUrl"),
        .publishedAt = object.optional<std::string>("publishedAt"),
    };
}

}  // namespace kavo
