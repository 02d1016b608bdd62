#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace kavo {

// Which Kavo deployment serves one organisation.
struct Tenant {
    std::string tenantId;
    std::string clientName;
    std::string initials;
    // Base URL of the tenant's Kavo API, absolute.
    std::string kavoBaseUrl;
    std::string region;
    std::string status;

    bool operator==(const Tenant&) const = default;

    // Keys "tenantId", "clientName", "initials", "kavoBaseUrl", "region", "status".
    nlohmann::json toJson() const;
    // Throws nlohmann::json::exception when a key is missing or not a string.
    static Tenant fromJson(const nlohmann::json& json);
};

// Whether `text` is an absolute http or https URL with a host.
bool isAbsoluteWebURL(const std::string& text);

}  // namespace kavo
