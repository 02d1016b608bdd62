#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

namespace kavo {

class EndpointsError : public Error {
public:
    using Error::Error;
};

// Where the application signs in, discovers tenants and checks for updates. The
// production values are compiled in; the file named by KAVO_ENDPOINTS may override any
// of them (to run against the local dev stack or a staging deployment).
struct Endpoints {
    static constexpr const char* kEnvironmentVariable = "KAVO_ENDPOINTS";

    std::string discoveryURL;
    // The identity authority; "/oauth2/v2.0/authorize", "/token" and "/devicecode" hang off it.
    std::string authority;
    std::string clientId;
    std::string apiApplicationId;
    std::vector<std::string> graphScopes;
    std::vector<std::string> kavoScopes;
    std::string updateManifestURL;

    bool operator==(const Endpoints&) const = default;

    static Endpoints production();

    // `json`'s keys replace the production values; keys this system does not know are
    // ignored. Throws EndpointsError for bad JSON, a wrong type, or a URL that is not
    // https (plain http only on a loopback address).
    static Endpoints fromOverride(std::string_view json);

    // The production values, or those overridden by the file `overrideFile` names.
    // Throws EndpointsError when the file cannot be read or is refused.
    static Endpoints load(const std::optional<std::string>& overrideFile);

    // Throws EndpointsError when a URL is refused.
    void validate() const;
};

// Whether `url` may be used: https, or http to 127.0.0.0/8 or [::1].
bool isAllowedEndpointURL(std::string_view url);

}  // namespace kavo
