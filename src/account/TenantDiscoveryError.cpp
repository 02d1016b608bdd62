#include "account/TenantDiscoveryError.h"

#include <fmt/format.h>

namespace kavo {

TenantDiscoveryError TenantDiscoveryError::http(int status) {
    return {Kind::http, status,
            fmt::format("Could not reach the discovery service (HTTP {}).", status)};
}

TenantDiscoveryError TenantDiscoveryError::transport(const std::string& message) {
    return {Kind::transport, 0, "Could not reach the discovery service: " + message};
}

TenantDiscoveryError TenantDiscoveryError::invalidResponse() {
    return {Kind::invalidResponse, 0,
            "The discovery service returned something this app could not read."};
}

TenantDiscoveryError TenantDiscoveryError::malformedTid() {
    return {Kind::malformedTid, 0, "Malformed tenant ID."};
}

TenantDiscoveryError TenantDiscoveryError::notProvisioned() {
    return {Kind::notProvisioned, 0,
            "Your organisation isn't provisioned for Meetings yet. Contact your IT administrator."};
}

}  // namespace kavo
